// What a module keeps for the life of the process.
//
// Each module defines its own `ModuleState` in its own source file and
// names it in its `ModuleConfig`; the frame reaches it only through that.
// So every module has its own set whatever the linker does with the
// frame's inline definitions, which are compiled into every module.
#pragma once

#include "refs.hpp"

namespace lumabo {

struct ModuleState {
    const char* file;               // source file shown in traceback entries
    PyObject* module = nullptr;     // set by the exec step, dropped if it fails
    PyObject* dict = nullptr;       // its namespace: the globals of the entries
    long long interpreter = -1;     // the interpreter that first created it
    PyObject* builtins = nullptr;   // the builtins module
};

}  // namespace lumabo
