// placeholder until the module lands
#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "music", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_music() { return PyModuleDef_Init(&def); }
