// lumabo_capi_test: reaches lumabo's C-level method tables from Python.
//
// The tables declared in lumabo.h are meant for other extension modules;
// this module is such a caller, so the tests can drive each slot directly:
// read the "__pyx_vtable__" capsule, hand a slot a raw raylib record or an
// object, and report what the slot returned or left pending.
//
// It does not link raylib. The raylib functions it needs (to make the raw
// records the slots take) come from the library the lumabo modules loaded,
// looked up with RTLD_NOLOAD: import a lumabo module before using them.
// Those calls go straight to raylib, past the call recorder, so the recorder
// only ever sees what the modules do.
#include <lumabo/lumabo.h>

#include "module.hpp"

#include <dlfcn.h>

#include <cstdint>
#include <cstring>

namespace {

// Buffer pointer of the last raw record handed to a slot, so a test can
// match it against the recorder's log.
std::uintptr_t last_buffer_address = 0;

void *raylib_symbol(const char *name)
{
    void *lib = dlopen("libraylib.so.600", RTLD_NOW | RTLD_NOLOAD);
    if (!lib) {
        PyErr_SetString(PyExc_RuntimeError,
                        "libraylib.so.600 is not loaded: import a lumabo module first");
        return nullptr;
    }
    void *fn = dlsym(lib, name);
    dlclose(lib);  // RTLD_NOLOAD took a reference; the modules keep theirs
    if (!fn)
        PyErr_Format(PyExc_RuntimeError, "libraylib.so.600 has no %s", name);
    return fn;
}

// A class of a lumabo module and its method table.
template <class VT>
struct Class {
    PyObject *type = nullptr;  // strong reference
    const VT *vt = nullptr;

    Class() = default;
    Class(const Class &) = delete;
    Class &operator=(const Class &) = delete;
    ~Class() { Py_XDECREF(type); }

    // Imports MODULE and reads NAME's table. False with an exception set on
    // failure.
    bool load(const char *module, const char *name)
    {
        PyObject *mod = PyImport_ImportModule(module);
        if (!mod)
            return false;
        type = PyObject_GetAttrString(mod, name);
        Py_DECREF(mod);
        if (!type)
            return false;
        PyObject *cap = PyObject_GetAttrString(type, "__pyx_vtable__");
        if (!cap)
            return false;
        // The type's dictionary keeps the capsule, and we keep the type.
        vt = static_cast<const VT *>(PyCapsule_GetPointer(cap, nullptr));
        Py_DECREF(cap);
        return vt != nullptr;
    }

    // Slots assume an instance; refuse anything else rather than crash.
    bool check_instance(PyObject *obj) const
    {
        int ok = PyObject_IsInstance(obj, type);
        if (ok < 0)
            return false;
        if (!ok) {
            PyErr_Format(PyExc_TypeError, "expected an instance of %R, got %R",
                         type, reinterpret_cast<PyObject *>(Py_TYPE(obj)));
            return false;
        }
        return true;
    }
};

template <class Slot>
bool check_slot(Slot fn, const char *name)
{
    if (fn)
        return true;
    PyErr_Format(PyExc_SystemError, "method table slot %s is NULL", name);
    return false;
}

// Calls a slot `repeat` times, as a C caller of a slot that can fail would:
// asking after each call whether it left an exception, and stopping there.
// The benchmark times long runs of one slot this way.
template <class Call>
void call_repeatedly(Py_ssize_t repeat, Call call)
{
    for (Py_ssize_t i = 0; i < repeat; ++i) {
        call();
        if (PyErr_Occurred())
            return;
    }
}

// What a void slot reports: None, or the exception it left pending.
PyObject *void_result()
{
    if (PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}

// Holds an object-returning slot to the CPython calling convention: a new
// reference with no exception pending, or NULL with one.
PyObject *object_result(PyObject *result, const char *slot)
{
    if (result && PyErr_Occurred()) {
        Py_DECREF(result);
        PyErr_Format(PyExc_SystemError,
                     "slot %s returned a result with an exception set", slot);
        return nullptr;
    }
    if (!result && !PyErr_Occurred())
        PyErr_Format(PyExc_SystemError,
                     "slot %s returned NULL without setting an exception", slot);
    return result;
}

// skip_dispatch as the slots take it; -1 with an exception on a bad value.
int flag_value(PyObject *flag, const char *what)
{
    if (!PyLong_Check(flag)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %T", what, flag);
        return -1;
    }
    return PyLong_AsInt(flag);
}

// path (str, bytes or os.PathLike) to a filesystem-encoded bytes object.
PyObject *fs_path(PyObject *path)
{
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path, &bytes))
        return nullptr;
    return bytes;
}

// ---------------------------------------------------------------- cursor

using Lumabo_Plain = void (*)(PyObject *);
using Lumabo_Flagged = void (*)(PyObject *, int);

struct CursorSlot {
    const char *name;
    Lumabo_Plain lumabo_Cursor_vtable::*plain;
    Lumabo_Flagged lumabo_Cursor_vtable::*flagged;
};

const CursorSlot cursor_slots[] = {
    {"c_enable", &lumabo_Cursor_vtable::c_enable, nullptr},
    {"c_disable", &lumabo_Cursor_vtable::c_disable, nullptr},
    {"c_show", &lumabo_Cursor_vtable::c_show, nullptr},
    {"c_hide", &lumabo_Cursor_vtable::c_hide, nullptr},
    {"enable", nullptr, &lumabo_Cursor_vtable::enable},
    {"disable", nullptr, &lumabo_Cursor_vtable::disable},
    {"show", nullptr, &lumabo_Cursor_vtable::show},
    {"hide", nullptr, &lumabo_Cursor_vtable::hide},
};

PyObject *cursor_slot(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"obj", "name", "skip_dispatch", "repeat", nullptr};
    PyObject *obj;
    const char *name;
    PyObject *flag = Py_None;
    Py_ssize_t repeat = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os|On:cursor_slot",
                                     const_cast<char **>(kwlist), &obj, &name, &flag,
                                     &repeat))
        return nullptr;

    const CursorSlot *slot = nullptr;
    for (const CursorSlot &s : cursor_slots)
        if (std::strcmp(s.name, name) == 0)
            slot = &s;
    if (!slot)
        return PyErr_Format(PyExc_ValueError, "no Cursor slot %s", name);
    if (slot->plain && flag != Py_None)
        return PyErr_Format(PyExc_TypeError, "slot %s takes no skip_dispatch", name);
    if (slot->flagged && flag == Py_None)
        return PyErr_Format(PyExc_TypeError, "slot %s needs skip_dispatch", name);

    Class<lumabo_Cursor_vtable> cls;
    if (!cls.load("lumabo.cursor.cursor", "Cursor") || !cls.check_instance(obj))
        return nullptr;
    if (slot->plain) {
        Lumabo_Plain fn = cls.vt->*slot->plain;
        if (!check_slot(fn, name))
            return nullptr;
        call_repeatedly(repeat, [&] { fn(obj); });
    } else {
        int skip = flag_value(flag, "skip_dispatch");
        if (skip == -1 && PyErr_Occurred())
            return nullptr;
        Lumabo_Flagged fn = cls.vt->*slot->flagged;
        if (!check_slot(fn, name))
            return nullptr;
        call_repeatedly(repeat, [&] { fn(obj, skip); });
    }
    return void_result();
}

// ----------------------------------------------------------------- music

struct MusicSlot {
    const char *name;
    Lumabo_Flagged lumabo_Music_vtable::*fn;
};

const MusicSlot music_slots[] = {
    {"play", &lumabo_Music_vtable::play},
    {"stop", &lumabo_Music_vtable::stop},
    {"pause", &lumabo_Music_vtable::pause},
    {"resume", &lumabo_Music_vtable::resume},
    {"update", &lumabo_Music_vtable::update},
};

PyObject *music_slot(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"obj", "name", "skip_dispatch", "position", "repeat",
                                   nullptr};
    PyObject *obj;
    const char *name;
    PyObject *flag;
    PyObject *position = Py_None;
    Py_ssize_t repeat = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OsO|On:music_slot",
                                     const_cast<char **>(kwlist), &obj, &name, &flag,
                                     &position, &repeat))
        return nullptr;
    bool seek = std::strcmp(name, "seek") == 0;
    const MusicSlot *slot = nullptr;
    for (const MusicSlot &s : music_slots)
        if (std::strcmp(s.name, name) == 0)
            slot = &s;
    if (!slot && !seek)
        return PyErr_Format(PyExc_ValueError, "no Music slot %s", name);
    if (seek && position == Py_None)
        return PyErr_Format(PyExc_TypeError, "slot seek needs position");
    if (!seek && position != Py_None)
        return PyErr_Format(PyExc_TypeError, "slot %s takes no position", name);
    int skip = flag_value(flag, "skip_dispatch");
    if (skip == -1 && PyErr_Occurred())
        return nullptr;
    float pos = 0.0f;
    if (seek) {
        double d = PyFloat_AsDouble(position);
        if (d == -1.0 && PyErr_Occurred())
            return nullptr;
        pos = static_cast<float>(d);
    }

    Class<lumabo_Music_vtable> cls;
    if (!cls.load("lumabo.music.music", "Music") || !cls.check_instance(obj))
        return nullptr;
    if (seek) {
        auto seek = cls.vt->seek;
        if (!check_slot(seek, name))
            return nullptr;
        call_repeatedly(repeat, [&] { seek(obj, pos, skip); });
    } else {
        Lumabo_Flagged fn = cls.vt->*slot->fn;
        if (!check_slot(fn, name))
            return nullptr;
        call_repeatedly(repeat, [&] { fn(obj, skip); });
    }
    return void_result();
}

PyObject *music_c_unload(PyObject *, PyObject *obj)
{
    Class<lumabo_Music_vtable> cls;
    if (!cls.load("lumabo.music.music", "Music") || !cls.check_instance(obj) ||
        !check_slot(cls.vt->c_unload, "c_unload"))
        return nullptr;
    cls.vt->c_unload(obj);
    return void_result();
}

PyObject *music_c_load(PyObject *, PyObject *filename)
{
    if (!PyUnicode_CheckExact(filename))
        return PyErr_Format(PyExc_TypeError, "slot c_load takes exactly str, not %T",
                            filename);
    Class<lumabo_Music_vtable> cls;
    if (!cls.load("lumabo.music.music", "Music") || !check_slot(cls.vt->c_load, "c_load"))
        return nullptr;
    return object_result(cls.vt->c_load(filename), "c_load");
}

PyObject *music_new(const Music &raw)
{
    Class<lumabo_Music_vtable> cls;
    if (!cls.load("lumabo.music.music", "Music") || !check_slot(cls.vt->new_, "new"))
        return nullptr;
    last_buffer_address = reinterpret_cast<std::uintptr_t>(raw.stream.buffer);
    return object_result(cls.vt->new_(raw), "new");
}

PyObject *music_new_from_file(PyObject *, PyObject *path)
{
    // Import first: it is what loads raylib.
    Class<lumabo_Music_vtable> cls;
    if (!cls.load("lumabo.music.music", "Music"))
        return nullptr;
    auto load = reinterpret_cast<Music (*)(const char *)>(raylib_symbol("LoadMusicStream"));
    if (!load)
        return nullptr;
    PyObject *bytes = fs_path(path);
    if (!bytes)
        return nullptr;
    Music raw = load(PyBytes_AS_STRING(bytes));
    Py_DECREF(bytes);
    return music_new(raw);
}

PyObject *music_new_zero(PyObject *, PyObject *)
{
    Music raw;
    std::memset(&raw, 0, sizeof raw);
    return music_new(raw);
}

// ----------------------------------------------------------------- sound

// is_alias as a record: None gives no record, an int gives {1, is_alias}.
bool sound_opt(PyObject *is_alias, lumabo_Sound_opt *opt, lumabo_Sound_opt **out)
{
    *out = nullptr;
    if (is_alias == Py_None)
        return true;
    int v = flag_value(is_alias, "is_alias");
    if (v == -1 && PyErr_Occurred())
        return false;
    opt->n = 1;
    opt->is_alias = v;
    *out = opt;
    return true;
}

PyObject *sound_new(const Sound &raw, lumabo_Sound_opt *opt)
{
    Class<lumabo_Sound_vtable> cls;
    if (!cls.load("lumabo.sound.sound", "Sound") || !check_slot(cls.vt->new_, "new"))
        return nullptr;
    last_buffer_address = reinterpret_cast<std::uintptr_t>(raw.stream.buffer);
    return object_result(cls.vt->new_(raw, opt), "new");
}

PyObject *sound_new_from_file(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"path", "is_alias", nullptr};
    PyObject *path;
    PyObject *is_alias = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:sound_new_from_file",
                                     const_cast<char **>(kwlist), &path, &is_alias))
        return nullptr;
    lumabo_Sound_opt record, *opt;
    if (!sound_opt(is_alias, &record, &opt))
        return nullptr;
    Class<lumabo_Sound_vtable> cls;
    if (!cls.load("lumabo.sound.sound", "Sound"))
        return nullptr;
    auto load = reinterpret_cast<Sound (*)(const char *)>(raylib_symbol("LoadSound"));
    if (!load)
        return nullptr;
    PyObject *bytes = fs_path(path);
    if (!bytes)
        return nullptr;
    Sound raw = load(PyBytes_AS_STRING(bytes));
    Py_DECREF(bytes);
    return sound_new(raw, opt);
}

// With repeat > 1, makes and drops repeat - 1 objects before the one it
// returns: the cost of making a Sound and of its release, timed together.
PyObject *sound_new_zero(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"is_alias", "repeat", nullptr};
    PyObject *is_alias = Py_None;
    Py_ssize_t repeat = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|On:sound_new_zero",
                                     const_cast<char **>(kwlist), &is_alias, &repeat))
        return nullptr;
    lumabo_Sound_opt record, *opt;
    if (!sound_opt(is_alias, &record, &opt))
        return nullptr;
    Class<lumabo_Sound_vtable> cls;
    if (!cls.load("lumabo.sound.sound", "Sound") || !check_slot(cls.vt->new_, "new"))
        return nullptr;
    Sound raw;
    std::memset(&raw, 0, sizeof raw);
    for (Py_ssize_t i = 1; i < repeat; ++i) {
        PyObject *made = object_result(cls.vt->new_(raw, opt), "new");
        if (!made)
            return nullptr;
        Py_DECREF(made);
    }
    return sound_new(raw, opt);
}

PyObject *sound_c_unload(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"obj", "repeat", nullptr};
    PyObject *obj;
    Py_ssize_t repeat = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|n:sound_c_unload",
                                     const_cast<char **>(kwlist), &obj, &repeat))
        return nullptr;
    Class<lumabo_Sound_vtable> cls;
    if (!cls.load("lumabo.sound.sound", "Sound") || !cls.check_instance(obj) ||
        !check_slot(cls.vt->c_unload, "c_unload"))
        return nullptr;
    auto c_unload = cls.vt->c_unload;
    call_repeatedly(repeat, [&] { c_unload(obj); });
    return void_result();
}

// ---------------------------------------------------------- audio stream

// audio_stream_make(slot, format=None, is_owner=None)
//   slot: "cfrom_struct" or "new"
//   format: (sample_rate, sample_size, channels) to make a live stream with
//           LoadAudioStream, or None for an all-zero record
//   is_owner: None for no optional record, else an int giving {1, is_owner}
PyObject *audio_stream_make(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"slot", "format", "is_owner", nullptr};
    const char *name;
    PyObject *format = Py_None;
    PyObject *is_owner = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|OO:audio_stream_make",
                                     const_cast<char **>(kwlist), &name, &format,
                                     &is_owner))
        return nullptr;
    bool from_struct = std::strcmp(name, "cfrom_struct") == 0;
    if (!from_struct && std::strcmp(name, "new") != 0)
        return PyErr_Format(PyExc_ValueError, "no AudioStream slot %s", name);

    lumabo_AudioStream_opt record = {0, 0};
    lumabo_AudioStream_opt *opt = nullptr;
    if (is_owner != Py_None) {
        int v = flag_value(is_owner, "is_owner");
        if (v == -1 && PyErr_Occurred())
            return nullptr;
        record = {1, v};
        opt = &record;
    }

    Class<lumabo_AudioStream_vtable> cls;
    if (!cls.load("lumabo.audio_stream.audio_stream", "AudioStream"))
        return nullptr;
    auto fn = from_struct ? cls.vt->cfrom_struct : cls.vt->new_;
    if (!check_slot(fn, name))
        return nullptr;

    AudioStream raw;
    std::memset(&raw, 0, sizeof raw);
    if (format != Py_None) {
        unsigned int rate, size, channels;
        if (!PyArg_ParseTuple(format, "III:format", &rate, &size, &channels))
            return nullptr;
        auto load = reinterpret_cast<AudioStream (*)(unsigned int, unsigned int, unsigned int)>(
            raylib_symbol("LoadAudioStream"));
        if (!load)
            return nullptr;
        raw = load(rate, size, channels);
    }
    last_buffer_address = reinterpret_cast<std::uintptr_t>(raw.buffer);
    return object_result(fn(raw, opt), name);
}

PyObject *audio_stream_c_unload(PyObject *, PyObject *obj)
{
    Class<lumabo_AudioStream_vtable> cls;
    if (!cls.load("lumabo.audio_stream.audio_stream", "AudioStream") ||
        !cls.check_instance(obj) || !check_slot(cls.vt->c_unload, "c_unload"))
        return nullptr;
    cls.vt->c_unload(obj);
    return void_result();
}

PyObject *last_buffer(PyObject *, PyObject *)
{
    return PyLong_FromUnsignedLongLong(last_buffer_address);
}

// --------------------------------------------------------------- frame

// The frame's interpreter version check with the versions given, so a test
// can play a module built for another Python than the one running it.
PyObject *check_version(PyObject *, PyObject *args)
{
    const char *module;
    unsigned long runtime;
    int major, minor;
    if (!PyArg_ParseTuple(args, "skii:check_version", &module, &runtime, &major, &minor))
        return nullptr;
    if (lumabo::check_version(module, runtime, major, minor) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// --------------------------------------------------------------- probe

// The limit of lumabo's call path: a native function object of the kind
// lumabo's methods are (vectorcall, a method descriptor), whose body does
// nothing but return None. CPython calls both through the same generic
// vectorcall path, so `ProbeHost().call()` costs what `m.play()` would if
// lumabo's own part were free. It takes any arguments, keywords included.
struct Probe {
    PyObject_HEAD
    vectorcallfunc vectorcall;
};

PyObject *probe_call(PyObject *, PyObject *const *, size_t, PyObject *)
{
    Py_RETURN_NONE;
}

PyObject *probe_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyTypeObject ProbeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumabo_capi_test.Probe",
    .tp_basicsize = sizeof(Probe),
    .tp_vectorcall_offset = offsetof(Probe, vectorcall),
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_descr_get = probe_get,
};

// Holds the probe as its method `call`; like lumabo's classes, a static
// type whose instances have no __dict__.
PyTypeObject ProbeHostType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumabo_capi_test.ProbeHost",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = PyType_GenericNew,
};

int add_probe(PyObject *module)
{
    if (PyType_Ready(&ProbeType) < 0 || PyType_Ready(&ProbeHostType) < 0)
        return -1;
    Probe *probe = PyObject_New(Probe, &ProbeType);
    if (!probe)
        return -1;
    probe->vectorcall = probe_call;
    PyObject *dict = PyType_GetDict(&ProbeHostType);
    int rc = dict ? PyDict_SetItemString(dict, "call", reinterpret_cast<PyObject *>(probe)) : -1;
    Py_XDECREF(dict);
    Py_DECREF(probe);
    if (rc < 0)
        return -1;
    PyType_Modified(&ProbeHostType);
    return PyModule_AddObjectRef(module, "ProbeHost", reinterpret_cast<PyObject *>(&ProbeHostType));
}

// -------------------------------------------------------------- module

PyMethodDef methods[] = {
    {"cursor_slot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cursor_slot)),
     METH_VARARGS | METH_KEYWORDS,
     "cursor_slot(obj, name, skip_dispatch=None, repeat=1): call a Cursor slot"},
    {"music_slot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(music_slot)),
     METH_VARARGS | METH_KEYWORDS,
     "music_slot(obj, name, skip_dispatch, position=None, repeat=1): call a Music slot"},
    {"music_c_unload", music_c_unload, METH_O, "music_c_unload(obj)"},
    {"music_c_load", music_c_load, METH_O, "music_c_load(filename) -> Music"},
    {"music_new_from_file", music_new_from_file, METH_O,
     "music_new_from_file(path) -> Music: LoadMusicStream, then slot new"},
    {"music_new_zero", music_new_zero, METH_NOARGS,
     "music_new_zero() -> Music: slot new with an all-zero record"},
    {"sound_new_from_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sound_new_from_file)),
     METH_VARARGS | METH_KEYWORDS,
     "sound_new_from_file(path, is_alias=None) -> Sound: LoadSound, then slot new"},
    {"sound_new_zero", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sound_new_zero)),
     METH_VARARGS | METH_KEYWORDS,
     "sound_new_zero(is_alias=None, repeat=1) -> Sound: slot new with an all-zero record"},
    {"sound_c_unload",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sound_c_unload)),
     METH_VARARGS | METH_KEYWORDS, "sound_c_unload(obj, repeat=1)"},
    {"audio_stream_make",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(audio_stream_make)),
     METH_VARARGS | METH_KEYWORDS,
     "audio_stream_make(slot, format=None, is_owner=None) -> AudioStream"},
    {"audio_stream_c_unload", audio_stream_c_unload, METH_O, "audio_stream_c_unload(obj)"},
    {"last_buffer", last_buffer, METH_NOARGS,
     "last_buffer() -> int: buffer pointer of the last raw record handed to a slot"},
    {"check_version", check_version, METH_VARARGS,
     "check_version(module, runtime_hexversion, major, minor): the frame's version check"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(add_probe)},
    {0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "lumabo_capi_test",
    "Drives lumabo's C-level method tables for the tests.",
    0,
    methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_lumabo_capi_test(void)
{
    return PyModuleDef_Init(&module);
}
