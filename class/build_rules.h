// The two behaviours one source yields.
//
// Built for CPython 3.6 the module follows the rules of its 32-bit 3.6
// release; built for 3.7 or later, those of the 64-bit 3.8 release. The
// differences are all here: the source file name tracebacks show, how the
// first interpreter is recorded, the version rule, what `__reduce__` of a
// method gives, whether binding to None yields the method itself, and the
// lines some start-up failures report.
#pragma once

#include <Python.h>

#include "runtime/context.h"

#if PY_VERSION_HEX < 0x03070000 || defined(ADDONGATE_LEGACY_RULES)
#define ADDONGATE_LEGACY 1
#else
#define ADDONGATE_LEGACY 0
#endif

// Test builds may claim another compile-time minor version.
#ifndef ADDONGATE_COMPILE_MINOR
#define ADDONGATE_COMPILE_MINOR PY_MINOR_VERSION
#endif

namespace addongate {
namespace rules {

constexpr bool kLegacy = ADDONGATE_LEGACY != 0;

constexpr int kCompileMajor = PY_MAJOR_VERSION;
constexpr int kCompileMinor = ADDONGATE_COMPILE_MINOR;

constexpr const char* kSourceFile =
    kLegacy ? "class\\addonGate" : "corvel-win\\corvel\\class\\addonGate";

// The 3.6 release records the interpreter by its module table and names methods in
// their reduction by short name; the 3.8 one records the interpreter ID and
// uses the qualified name, which pickling can resolve.
constexpr bool kRecordInterpreterId = !kLegacy;
constexpr bool kReduceToQualifiedName = !kLegacy;
constexpr bool kNoneInstanceYieldsMethod = kLegacy;

// What the runtime is told of these choices at start-up.
constexpr RuntimeRules kRuntimeRules = {kSourceFile, kReduceToQualifiedName,
                                        kNoneInstanceYieldsMethod};

// Start-up lines: the 3.6 release reports the statement that uses a constant
// where the 3.8 one reports line 1.
constexpr int kLineValueErrorCapture = kLegacy ? 34 : 1;
constexpr int kLineValueErrorArgs = kLegacy ? 34 : 1;
constexpr int kLineRequestLookupArgs = kLegacy ? 57 : 1;
inline int method_constant_line(int first_line) { return kLegacy ? first_line : 1; }

}  // namespace rules
}  // namespace addongate
