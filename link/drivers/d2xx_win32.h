// The Windows adapter driver: FTD2XX.dll, the adapter maker's D2XX library, loaded at run
// time so that the program starts (and says what is wrong) without it.
#pragma once

#include "link/ftd2xx.h"

// Loads FTD2XX.dll from the program's folder or System32 (never the current directory)
// and resolves its fourteen entry points. Returns the driver table to install: the DLL's
// entry points, or, when the DLL or any entry point is missing, a driver whose every call
// fails, so the log reports an invalid USB adapter. Call once, before the worker starts.
const AdapterDriver* LoadD2xxDriver();
