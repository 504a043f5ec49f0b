// Forwards the host calls to the installed front end.
#include "platform/host.h"

namespace {
const HostBackend* installedHost = nullptr;
}

int HostMessageBox(const char* text, const char* caption, unsigned style) {
    if (installedHost == nullptr || installedHost->messageBox == nullptr) {
        return ANSWER_NONE;
    }
    return installedHost->messageBox(text, caption, style);
}

void HostRequestExit() {
    if (installedHost != nullptr && installedHost->requestExit != nullptr) {
        installedHost->requestExit();
    }
}

void InstallHost(const HostBackend* backend) {
    installedHost = backend;
}
