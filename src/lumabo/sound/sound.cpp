// placeholder until the module lands
#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "sound", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_sound() { return PyModuleDef_Init(&def); }
