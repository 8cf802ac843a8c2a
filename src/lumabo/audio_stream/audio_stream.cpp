// lumabo.audio_stream.audio_stream: a wrapper of a raylib AudioStream.
//
// Music and Sound hand out the stream they play as an AudioStream made by
// the C-level `cfrom_struct`. Such a wrapper does not own the stream unless
// asked to: by default the Music or Sound releases it. An owning wrapper
// releases it with UnloadAudioStream, once.
#include "frame.hpp"

#include <lumabo/lumabo.h>

#include <raylib.h>

namespace {

using namespace lumabo;

struct AudioStreamObject {
    PyObject_HEAD
    const lumabo_AudioStream_vtable* vtab;
    AudioStream raw;
    int is_owner;
    float volume;
    float pitch;
    float pan;
};
// Other modules are built against the layout in lumabo.h and check its size
// on import.
static_assert(sizeof(AudioStreamObject) == sizeof(lumabo_AudioStream_object) &&
              sizeof(AudioStreamObject) == 72);

ModuleState state{.file = "src/lumabo/audio_stream/audio_stream.cpp"};
lumabo_AudioStream_vtable vtable;
extern PyTypeObject AudioStreamType;

AudioStreamObject* as_stream(PyObject* self) { return reinterpret_cast<AudioStreamObject*>(self); }

PyObject* cfrom_struct(AudioStream raw, lumabo_AudioStream_opt* opt) {
    PyObject* self = AudioStreamType.tp_alloc(&AudioStreamType, 0);
    if (!self) return nullptr;
    AudioStreamObject* s = as_stream(self);
    s->vtab = &vtable;
    s->raw = raw;
    s->is_owner = (opt && opt->n >= 1) ? opt->is_owner : 0;
    s->volume = 1.0f;
    s->pitch = 1.0f;
    s->pan = 0.5f;
    return self;
}

void c_unload(PyObject* self) {
    AudioStreamObject* s = as_stream(self);
    if (!s->is_owner || !s->raw.buffer) return;
    UnloadAudioStream(s->raw);
    s->raw.buffer = nullptr;
}

void fill_vtable() { vtable = {.cfrom_struct = cfrom_struct, .new_ = cfrom_struct, .c_unload = c_unload}; }

MethodDef unload_def{.name = "unload", .body = body<action_body<c_unload>>};

PyObject* get_sample_rate(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_stream(self)->raw.sampleRate); }
PyObject* get_sample_size(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_stream(self)->raw.sampleSize); }
PyObject* get_channels(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_stream(self)->raw.channels); }
PyObject* get_is_owner(PyObject* self, void*) { return new_bool(as_stream(self)->is_owner != 0); }
// A wrapper whose owner has released the stream still describes it, so the
// check looks at the description only and never at raylib's buffer.
PyObject* get_valid(PyObject* self, void*) {
    const AudioStream& raw = as_stream(self)->raw;
    return new_bool(raw.buffer && raw.sampleRate && raw.sampleSize && raw.channels);
}

PyGetSetDef getset[] = {
    {"sample_rate", get_sample_rate, nullptr, nullptr, nullptr},
    {"sample_size", get_sample_size, nullptr, nullptr, nullptr},
    {"channels", get_channels, nullptr, nullptr, nullptr},
    {"is_owner", get_is_owner, nullptr, nullptr, nullptr},
    {"valid", get_valid, nullptr, nullptr, nullptr},
    {},
};

PyObject* audio_stream_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) as_stream(self)->vtab = &vtable;
    return self;
}

void audio_stream_dealloc(PyObject* self) {
    c_unload(self);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject AudioStreamType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumabo.audio_stream.audio_stream.AudioStream",
    .tp_basicsize = sizeof(AudioStreamObject),
    .tp_dealloc = audio_stream_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_getset = getset,
    .tp_new = audio_stream_new,
};

bool install();

constexpr MethodDef* all_methods[] = {&unload_def};

constexpr ModuleConfig config{
    .short_name = "audio_stream",
    .full_name = "lumabo.audio_stream.audio_stream",
    .class_name = "AudioStream",
    .state = &state,
    .type = &AudioStreamType,
    .vtable = &vtable,
    .fill_vtable = fill_vtable,
    .methods = all_methods,
    .pickling = false,
    .install = install,
};

bool install() { return install_method<config>(unload_def); }

}  // namespace

PyMODINIT_FUNC PyInit_audio_stream() { return PyModuleDef_Init(&lumabo::module_definition<config>); }
