// The catalogue compiler: a good data set compiles; every bad one is refused with a message
// naming the file, the slot and the byte offset, and leaves no output behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "catalogue/catalogue.h"
#include "tests/support/image_builder.h"
#include "tools/catalogue/compiler.h"

using testing::AllOf;
using testing::Contains;
using testing::HasSubstr;
using testing::IsEmpty;
using testsupport::ByteString;
using testsupport::ImageBuilder;
using testsupport::Packet;

namespace fs = std::filesystem;

namespace {

const char BASE_MANIFEST[] = "# test data set\n"
                             "[requests]\n"
                             "info = info.bin\n"
                             "bridge = req/bridge.bin\n"
                             "\n"
                             "[slot 0]\n"
                             "name = ALPHA_EN\n"
                             "version = 02 01\n"
                             "image = a.bin\n"
                             "\n"
                             "[slot 20]\n"
                             "name = BETA_CZ\n"
                             "version = 10 0A\n"
                             "image = b.bin\n";

// A data set as files: the manifest text and the other files by relative path.
struct DataSet {
    std::string manifest = BASE_MANIFEST;
    std::map<std::string, ByteString> files = {
        {"info.bin", testsupport::StoredRequest(0x49)},
        {"req/bridge.bin", testsupport::StoredRequest(0x42)},
        {"a.bin", ImageBuilder().Header(0x0B01, 0x0235, 0x013F).Send(Packet(170)).End().Bytes()},
        {"b.bin", ImageBuilder().Header(0x0B02, 0x0235, 0x013F).Final(Packet(20)).End().Bytes()},
    };
    void Replace(const std::string& from, const std::string& to) {
        const std::size_t at = manifest.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        manifest.replace(at, from.size(), to);
    }
};

class CatalogueCompiler : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kestrel-compiler-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Writes the data set into a fresh folder and compiles it.
    bool Compile(const DataSet& set, catalogue_compiler::Messages* messages) {
        fs::remove_all(dir_ / "set");
        fs::create_directories(dir_ / "set" / "req");
        std::ofstream(dir_ / "set" / "manifest.txt", std::ios::binary) << set.manifest;
        for (const auto& [name, bytes] : set.files) {
            std::ofstream out(dir_ / "set" / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
        }
        return catalogue_compiler::CompileCatalogue(Manifest(), Output(), Depfile(), messages);
    }
    std::string Manifest() const { return (dir_ / "set" / "manifest.txt").string(); }
    std::string Output() const { return (dir_ / "catalogue.cpp").string(); }
    std::string Depfile() const { return (dir_ / "catalogue.cpp.d").string(); }
    std::string File(const std::string& name) const { return (dir_ / "set" / name).string(); }

    fs::path dir_;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct BadCase {
    const char* what;
    std::function<void(DataSet&)> spoil;
    std::string file;    // relative to the data set; the manifest when empty
    std::string where;   // "slot N", "info request", ...
    std::string offset;  // a number, or "@text": where text starts in the spoilt manifest
    std::string message; // a distinctive part of the text
};

} // namespace

TEST_F(CatalogueCompiler, GoodDataSetCompiles) {
    DataSet set;
    // The longest name allowed, and a walk of 4099 records that ends in time.
    set.Replace("name = BETA_CZ", "name = " + std::string(MAX_NAME_CHARS - 3, 'N') + "_CZ");
    ImageBuilder long_stream;
    for (int i = 0; i < MAX_RECORDS - 1; ++i) {
        long_stream.Filler(9, 0xFFF);
    }
    set.files["b.bin"] = long_stream.End().Bytes();
    catalogue_compiler::Messages messages;
    ASSERT_TRUE(Compile(set, &messages));
    EXPECT_THAT(messages.errors, IsEmpty());
    EXPECT_THAT(messages.warnings, IsEmpty());

    const std::string source = ReadText(Output());
    EXPECT_THAT(source, HasSubstr("{\"ALPHA_EN\", VERSION_00, IMAGE_00}"));
    EXPECT_THAT(source, HasSubstr("VERSION_20[2] = {0x10, 0x0A}"));
    EXPECT_THAT(source, HasSubstr("{nullptr, nullptr, nullptr}"));
    EXPECT_THAT(source, HasSubstr("infoRequest[STORED_REQUEST_BYTES] = {\n    0x01, 0x28,"));
    EXPECT_FALSE(fs::exists(Output() + ".tmp"));
    // The build reruns when any input changes.
    const std::string deps = ReadText(Depfile());
    for (const char* input : {"manifest.txt", "info.bin", "req/bridge.bin", "a.bin", "b.bin"}) {
        EXPECT_THAT(deps, HasSubstr(fs::absolute(File(input)).string())) << input;
    }
}

TEST_F(CatalogueCompiler, WindowsLineEndingsAndBlanksAreAccepted) {
    DataSet set;
    std::string crlf;
    for (char c : set.manifest) {
        crlf += c == '\n' ? std::string(" \t\r\n") : std::string(1, c);
    }
    set.manifest = crlf;
    catalogue_compiler::Messages messages;
    EXPECT_TRUE(Compile(set, &messages));
    EXPECT_THAT(messages.errors, IsEmpty());
    EXPECT_THAT(ReadText(Output()), HasSubstr("{\"BETA_CZ\", VERSION_20, IMAGE_20}"));
}

// The build relies on the exit status; the maker reads the message on stderr.
TEST_F(CatalogueCompiler, CommandLine) {
    DataSet set;
    catalogue_compiler::Messages ignored;
    ASSERT_TRUE(Compile(set, &ignored));
    const std::string tool = KESTREL_CATALOGUE_TOOL;
    const std::string log = (dir_ / "stderr.txt").string();
    auto run = [&](const std::string& args) {
        const int status = std::system((tool + " " + args + " 2>" + log).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run(Manifest() + " " + Output()), 0);
    EXPECT_TRUE(fs::exists(Output()));

    set.files["a.bin"].resize(10);
    Compile(set, &ignored);
    EXPECT_EQ(run(Manifest() + " " + Output()), 1);
    EXPECT_FALSE(fs::exists(Output()));
    EXPECT_THAT(ReadText(log), HasSubstr("kestrel-catalogue: error: " + File("a.bin") +
                                         ": slot 0: offset 10: the image has 10 bytes"));

    EXPECT_EQ(run(Manifest()), 2);
    EXPECT_THAT(ReadText(log), HasSubstr("usage: kestrel-catalogue MANIFEST OUTPUT"));
}

TEST_F(CatalogueCompiler, RefusesBadDataSets) {
    auto image = [](const ByteString& bytes) {
        return [bytes](DataSet& set) { set.files["a.bin"] = bytes; };
    };
    ImageBuilder tooManyRecords;
    for (int i = 0; i < MAX_RECORDS; ++i) {
        tooManyRecords.Filler();
    }
    tooManyRecords.End();
    const BadCase cases[] = {
        {"slot number out of range", [](DataSet& s) { s.Replace("[slot 20]", "[slot 21]"); }, "",
         "slot 21", "@[slot 21]", "slot number 21 is out of range 0 to 20"},
        {"slot given twice",
         [](DataSet& s) {
             s.manifest += "\n[slot 0]\nname = X_EN\nversion = 1 2\nimage = b.bin\n";
         },
         "", "slot 0", "@[slot 0]\nname = X", "slot 0 is given twice"},
        {"slot number not a number", [](DataSet& s) { s.Replace("[slot 20]", "[slot x]"); }, "",
         "slot x", "@[slot x]", "is not a number"},
        {"slot without an image", [](DataSet& s) { s.Replace("image = b.bin\n", ""); }, "",
         "slot 20", "@[slot 20]", "lacks image"},
        {"slot with a name only",
         [](DataSet& s) { s.Replace("version = 02 01\nimage = a.bin\n", ""); }, "", "slot 0",
         "@[slot 0]", "lacks version, image"},
        {"empty name", [](DataSet& s) { s.Replace("name = ALPHA_EN", "name ="); }, "", "slot 0",
         "@\nversion = 02 01", "the name is empty"},
        {"name not printable", [](DataSet& s) { s.Replace("ALPHA_EN", "ALP\x01HA_EN"); }, "",
         "slot 0", "@\x01", "byte 0x01, which is not printable ASCII"},
        {"name with a byte above ASCII", [](DataSet& s) { s.Replace("ALPHA_EN", "ALPH\xC3\xA9"); },
         "", "slot 0", "@\xC3", "byte 0xC3, which is not printable ASCII"},
        {"name too long",
         [](DataSet& s) { s.Replace("ALPHA_EN", std::string(MAX_NAME_CHARS - 2, 'A') + "_EN"); },
         "", "slot 0", "@AAAA", "the name has 166 characters; at most 165"},
        {"version not two bytes", [](DataSet& s) { s.Replace("02 01", "02 01 03"); }, "", "slot 0",
         "@02 01 03", "is not two hexadecimal bytes"},
        {"version not hexadecimal", [](DataSet& s) { s.Replace("10 0A", "1G 0A"); }, "", "slot 20",
         "@1G 0A", "is not two hexadecimal bytes"},
        {"unknown key", [](DataSet& s) { s.Replace("image = b.bin", "picture = b.bin"); }, "",
         "slot 20", "@picture", "unknown key 'picture'"},
        {"image file missing", [](DataSet& s) { s.files.erase("a.bin"); }, "", "slot 0", "@a.bin",
         "file 'a.bin' is missing or not a regular file"},
        {"image is a folder", [](DataSet& s) { s.Replace("image = a.bin", "image = req"); }, "",
         "slot 0", "@req\n", "file 'req' is missing or not a regular file"},
        {"image shorter than its header", image(ByteString(10, 0x01)), "a.bin", "slot 0", "10",
         "fewer than its 16-byte header"},
        {"header only", image(ImageBuilder().Bytes()), "a.bin", "slot 0", "16",
         "no end record within the file"},
        {"payload runs past the end", image([] {
             ByteString b = ImageBuilder().Send(Packet(4)).Send(Packet(100)).End().Bytes();
             b.resize(b.size() - 50);
             return b;
         }()),
         "a.bin", "slot 0", "22", "payload of 100 bytes runs past the end of the file"},
        {"record header cut off", image(ImageBuilder().Send(Packet(3)).Raw({0x01}).Bytes()),
         "a.bin", "slot 0", "21", "record header runs past the end"},
        {"no end record within the file", image(ImageBuilder().Send(Packet(3)).Filler().Bytes()),
         "a.bin", "slot 0", "23", "no end record within the file"},
        {"no end record within 4100 records", image(tooManyRecords.Bytes()), "a.bin", "slot 0",
         "8216", "no end record within 4100 records"},
        {"stored request of another type",
         [](DataSet& s) { s.files["info.bin"][0] = RT_SEND_SLOW; }, "info.bin", "info request", "0",
         "must be an RT_SEND record of 40 payload bytes"},
        {"stored request of another length", [](DataSet& s) { s.files["req/bridge.bin"][1] = 39; },
         "req/bridge.bin", "bridge request", "0", "must be an RT_SEND record of 40 payload bytes"},
        {"stored request too long", [](DataSet& s) { s.files["info.bin"].push_back(0); },
         "info.bin", "info request", "42", "must be 42 bytes long, this file has 43"},
        {"stored request too short", [](DataSet& s) { s.files["info.bin"].resize(30); }, "info.bin",
         "info request", "30", "must be 42 bytes long, this file has 30"},
        {"stored request missing", [](DataSet& s) { s.Replace("info = info.bin\n", ""); }, "",
         "info request", "@[requests]", "needs 'info' and 'bridge'"},
        {"no requests at all",
         [](DataSet& s) {
             s.Replace("[requests]\ninfo = info.bin\nbridge = req/bridge.bin\n", "");
         },
         "", "requests", "0", "no [requests] section"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.what);
        DataSet set;
        c.spoil(set);
        // An output of an earlier, good run must not survive a refused one either.
        std::ofstream(Output()) << "// stale";
        std::ofstream(Depfile()) << "stale:";
        catalogue_compiler::Messages messages;
        EXPECT_FALSE(Compile(set, &messages));
        EXPECT_FALSE(fs::exists(Output()));
        EXPECT_FALSE(fs::exists(Output() + ".tmp"));
        EXPECT_FALSE(fs::exists(Depfile()));

        std::string offset = c.offset;
        if (offset[0] == '@') {
            const std::size_t at = set.manifest.find(offset.substr(1));
            ASSERT_NE(at, std::string::npos);
            offset = std::to_string(at);
        }
        const std::string file = c.file.empty() ? Manifest() : File(c.file);
        EXPECT_THAT(messages.errors,
                    Contains(AllOf(HasSubstr(file + ": " + c.where + ": offset " + offset + ": "),
                                   HasSubstr(c.message))));
    }
}

TEST_F(CatalogueCompiler, WarnsButCompiles) {
    struct WarnCase {
        const char* what;
        ByteString b;
        std::string message; // empty: no warning
    };
    const WarnCase cases[] = {
        {"status reported at run time",
         ImageBuilder().Header(0x0B02, 0x0235, 1, 0x07).End().Bytes(),
         "slot 20: offset 0: status 0x07 is neither 0x01 nor 0xFE"},
        {"same codeH and codeB as a valid slot before it",
         ImageBuilder().Header(0x0B01, 0x0235, 0x0200).End().Bytes(),
         "slot 20: offset 6: codeH 0x0B01 and codeB 0x0235 are those of slot 0"},
        {"bytes behind the end record",
         ImageBuilder().Header(0x0B02, 0x0235, 1).End().Raw({1, 2}).Bytes(),
         "slot 20: offset 17: 2 bytes behind the end record are never read"},
        {"same codes, but skipped", ImageBuilder().Header(0x0B01, 0x0235, 1, 0xFE).End().Bytes(),
         ""},
        {"same codeH, other codeB", ImageBuilder().Header(0x0B01, 0x0236, 1).End().Bytes(), ""},
    };
    for (const WarnCase& c : cases) {
        SCOPED_TRACE(c.what);
        DataSet set;
        set.files["b.bin"] = c.b;
        catalogue_compiler::Messages messages;
        EXPECT_TRUE(Compile(set, &messages));
        EXPECT_THAT(messages.errors, IsEmpty());
        if (c.message.empty()) {
            EXPECT_THAT(messages.warnings, IsEmpty());
        } else {
            EXPECT_THAT(messages.warnings,
                        Contains(AllOf(HasSubstr(File("b.bin")), HasSubstr(c.message))));
        }
    }
}
