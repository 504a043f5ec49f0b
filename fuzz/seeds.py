#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/: a few inputs that
reach the interesting paths at once (an echo and a valid reply, alive replies, a small
image, a small manifest). The device side is encoded here from the wire format."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc(data, seed=0x7777):
    c = seed
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0x8408 if c & 1 else c >> 1
    return c


def reply(key, plain):
    body = bytes([0xAD, key, len(plain)]) + bytes((((p ^ key) - 0x6A) & 0xFF) for p in plain)
    return body + struct.pack("<H", crc(body))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# transact: flags, request length - 2, queued-before count, request, before, after.
request = bytes([0x01, 0x28, 0x10, 0x20])
ok = reply(0x28, b"R8\x00\x01")
write("transact", "echo_reply", bytes([0x00, 2, 0]) + request + request + ok)
write("transact", "skip_reply", bytes([0x10, 2, 0]) + request + ok)
write("transact", "noise_before", bytes([0x00, 2, 3]) + request + b"\xAD\x28\x01" + request + ok)
write("transact", "paced_slow", bytes([0x03, 2, 0]) + request + request + ok)
write("transact", "alive_first", bytes([0x10, 2, 0]) + request + b"\xAC\x3A" + ok)
write("transact", "wrong_key", bytes([0x00, 2, 0]) + request + request + reply(0x29, b"R8"))
write("transact", "flood", bytes([0x40, 2, 0]) + request + request + b"\xAD\xFF" + bytes(range(256)))
write("transact", "empty_reply", bytes([0x00, 2, 0]) + request + request + reply(0x28, b""))

# alive: flags, queued-before count, before, after.
alive = b"\xAC\x3A"
write("alive", "four", bytes([0x00, 0]) + alive * 4)
write("alive", "embedded", bytes([0x00, 2, 0xAC, 0x3A]) + b"\x00" + alive + b"\xFF" + alive * 3)
write("alive", "split", bytes([0x00, 0]) + bytes(259) + b"\xAC\x3A" + alive * 4)
write("alive", "probe_fails", bytes([0x81, 0]) + bytes(300) + alive * 4)

# records: an image header and a stream.
header = bytes([0x01, 0, 0, 0, 0, 0, 0x34, 0x0B, 0x35, 0x02, 0x3F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF])
stream = bytes([0x01, 0x04]) + b"abcd" + bytes([0x02, 0x02]) + b"xy" + bytes([0x09, 0xFF])
stream += bytes([0x03, 0x03]) + b"fin" + bytes([0x04, 0x01]) + b"s" + bytes([0x00])
write("records", "small_image", header + stream)
write("records", "fillers", header + bytes([0x96, 0x00]) * 40 + bytes([0x10]))
write("records", "long_record", header + bytes([0x81, 0x1E]) + bytes(2078) + bytes([0x50]))

# compiler: manifest, a zero byte, then a.bin, b.bin, c.bin as 16-bit length and bytes.
def files(*blobs):
    return b"".join(struct.pack("<H", len(b)) + b for b in blobs)


image = header + stream
info = bytes([0x01, 0x28]) + bytes(range(40))
bridge = bytes([0x01, 0x28]) + bytes(range(40, 80))
manifest = b"[requests]\ninfo = b.bin\nbridge = c.bin\n\n[slot 0]\nname = DVA1_EN\nversion = 02 01\nimage = a.bin\n"
write("compiler", "one_slot", manifest + b"\0" + files(image, info, bridge))
write("compiler", "no_end", manifest + b"\0" + files(header + bytes([0x01, 0x04]) + b"abcd", info, bridge))
write("compiler", "long_record", manifest + b"\0" + files(header + bytes([0xF1, 0xFF, 0x00]), info, bridge))
write("compiler", "two_slots", manifest + b"\n[slot 20]\nname = X_FR\nversion = 10 0A\nimage = a.bin\n\0" + files(image, info, bridge))
