// lumabo.audio_stream.audio_stream: a wrapper of a raylib AudioStream.
//
// Music and Sound hand out the stream they play as an AudioStream made by
// the C-level `cfrom_struct`. Such a wrapper does not own the stream unless
// asked to: by default the Music or Sound releases it. An owning wrapper
// releases it with UnloadAudioStream, once.
//
// AudioStream.create makes a stream of its own for sound computed by the
// program: it plays what `update` hands it, one refill at a time. Only an
// owner may play, refill or tune its stream. A wrapper describes the stream
// of a Music or Sound, which may release it at any moment; it refuses all
// of that, so no stream is reached through a wrapper after its release.
#include "frame.hpp"
#include "memory.hpp"

#include <algorithm>

#include <lumabo/lumabo.h>

#include <raylib.h>

namespace {

using namespace lumabo;

// What `is_owner` holds. A C caller's optional argument gives 0 or 1.
enum Ownership : int {
    wrapper = 0,  // describes a stream that someone else releases
    owner = 1,    // releases the stream; made by a C caller
    created = 2,  // releases the stream; made by create(), refill size known
};

struct AudioStreamObject {
    PyObject_HEAD
    const lumabo_AudioStream_vtable* vtab;
    AudioStream raw;
    int is_owner;  // an Ownership
    float volume;
    float pitch;
    float pan;
};
// Other modules are built against the layout in lumabo.h and check its size
// on import.
static_assert(sizeof(AudioStreamObject) == sizeof(lumabo_AudioStream_object) &&
              sizeof(AudioStreamObject) == 72);

ModuleState state{.file = "src/lumabo/audio_stream/audio_stream.cpp"};
PyObject* builtin_staticmethod = nullptr;
lumabo_AudioStream_vtable vtable;
extern PyTypeObject AudioStreamType;

AudioStreamObject* as_stream(PyObject* self) { return reinterpret_cast<AudioStreamObject*>(self); }

Interned s_sample_rate{"sample_rate"};
Interned s_sample_size{"sample_size"};
Interned s_channels{"channels"};
Interned s_data{"data"};
Interned s_frame_count{"frame_count"};

namespace message {
constexpr const char* not_owner =
    "%s needs an AudioStream that owns its stream (made by AudioStream.create); this one "
    "describes the stream of a Music or Sound, which controls it";
constexpr const char* unloaded = "the stream has been unloaded";
constexpr const char* not_ready =
    "no buffer of the stream is free for more data: refill it when processed is True";
constexpr const char* negative_count = "frame_count %d is negative";
constexpr const char* beyond_buffer =
    "frame_count %d is more than the %zd frames the buffer holds (%zd bytes, %u bytes a frame)";
constexpr const char* beyond_refill = "frame_count %d is more than the %u frames one refill holds";
constexpr const char* bad_sample_rate = "sample_rate %lld is not between 1 and %u";
constexpr const char* bad_sample_size = "sample_size %lld is not 8, 16 or 32 (bits)";
constexpr const char* bad_channels = "channels %lld is not 1 or 2";
}  // namespace message

// ---------------------------------------------------------------------------
// The C-level table.

PyObject* cfrom_struct(AudioStream raw, lumabo_AudioStream_opt* opt) {
    PyObject* self = AudioStreamType.tp_alloc(&AudioStreamType, 0);
    if (!self) return nullptr;
    AudioStreamObject* s = as_stream(self);
    s->vtab = &vtable;
    s->raw = raw;
    s->is_owner = (opt && opt->n >= 1 && opt->is_owner) ? owner : wrapper;
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

// ---------------------------------------------------------------------------
// Streams made by code.

// The highest rate miniaudio converts from.
constexpr unsigned max_sample_rate = 384000;

// Frames of one refill: raylib's stream is a double buffer, and each half
// is refilled whole (a shorter refill is padded with silence). create()
// sets the size for its streams, so that the program can compute exactly
// that much: 100 ms of sound, time enough for a program that polls
// `processed` from a busy loop to refill one half while the other plays,
// and no less than 2048 frames, which leaves it above any device period
// raylib could raise it to.
unsigned refill_frames(unsigned sample_rate) { return std::max(sample_rate / 10, 2048u); }

// Each argument must fit raylib's unsigned parameter and be a value raylib
// can play: it would allocate or convert unchecked otherwise.
bool argument_in(PyObject* value, long long* out, bool (*fits)(long long), const char* message,
                 unsigned limit = 0) {
    if (!to_long(value, out)) return false;
    if (fits(*out)) return true;
    PyErr_Format(PyExc_ValueError, message, *out, limit);
    return false;
}

PyObject* create(PyObject*, PyObject* const* args) {
    long long sample_rate, sample_size, channels;
    if (!argument_in(args[0], &sample_rate, [](long long v) { return v >= 1 && v <= max_sample_rate; },
                     message::bad_sample_rate, max_sample_rate) ||
        !argument_in(args[1], &sample_size, [](long long v) { return v == 8 || v == 16 || v == 32; },
                     message::bad_sample_size) ||
        !argument_in(args[2], &channels, [](long long v) { return v == 1 || v == 2; },
                     message::bad_channels))
        return nullptr;

    const auto rate = static_cast<unsigned>(sample_rate);
    // The size applies to the streams loaded while it is set; raylib's own
    // default (0: from the device) comes back for everyone else's.
    SetAudioStreamBufferSizeDefault(static_cast<int>(refill_frames(rate)));
    AudioStream raw =
        LoadAudioStream(rate, static_cast<unsigned>(sample_size), static_cast<unsigned>(channels));
    SetAudioStreamBufferSizeDefault(0);

    lumabo_AudioStream_opt opt{.n = 1, .is_owner = 1};
    PyObject* self = cfrom_struct(raw, &opt);
    if (!self) {
        if (raw.buffer) UnloadAudioStream(raw);
        return nullptr;
    }
    AudioStreamObject* s = as_stream(self);
    s->is_owner = created;
    s->pan = 0.0f;  // raylib's centre for a new stream
    return self;
}

// The owner of a stream may act on it; a wrapper may not.
bool may_control(const AudioStreamObject* s, const char* what) {
    if (s->is_owner) return true;
    PyErr_Format(PyExc_TypeError, message::not_owner, what);
    return false;
}

// play, pause, resume, stop: nothing to do on a stream already released.
template <void (*action)(AudioStream), const char* name>
PyObject* playback(PyObject* self, PyObject* const*) {
    AudioStreamObject* s = as_stream(self);
    if (!may_control(s, name)) return nullptr;
    if (s->raw.buffer) action(s->raw);
    Py_RETURN_NONE;
}

constexpr char play_name[] = "play()";
constexpr char pause_name[] = "pause()";
constexpr char resume_name[] = "resume()";
constexpr char stop_name[] = "stop()";

// raylib copies `frame_count` frames of the stream's own format from the
// buffer into the half it refills, trusting the count: check it here. A
// refill that finds no free half would be dropped with a log line only.
PyObject* update(PyObject* self, PyObject* const* args) {
    AudioStreamObject* s = as_stream(self);
    int frame_count;
    if (!to_int(args[1], &frame_count)) return nullptr;
    if (!may_control(s, "update()")) return nullptr;
    if (frame_count < 0) {
        PyErr_Format(PyExc_ValueError, message::negative_count, frame_count);
        return nullptr;
    }
    BufferView data;
    if (!data.request_for_call(args[0])) return nullptr;
    const AudioStream& raw = s->raw;
    if (!raw.buffer) {
        PyErr_SetString(PyExc_ValueError, message::unloaded);
        return nullptr;
    }
    const unsigned frame_size = raw.channels * (raw.sampleSize / 8);
    const Py_ssize_t whole_frames = frame_size ? data.size() / frame_size : 0;
    if (frame_count > whole_frames) {
        PyErr_Format(PyExc_ValueError, message::beyond_buffer, frame_count, whole_frames, data.size(),
                     frame_size);
        return nullptr;
    }
    if (s->is_owner == created && static_cast<unsigned>(frame_count) > refill_frames(raw.sampleRate)) {
        PyErr_Format(PyExc_ValueError, message::beyond_refill, frame_count,
                     refill_frames(raw.sampleRate));
        return nullptr;
    }
    // Only a refill frees nothing, and only this thread refills: a free
    // half found here is still free below.
    if (!IsAudioStreamProcessed(raw)) {
        PyErr_SetString(PyExc_RuntimeError, message::not_ready);
        return nullptr;
    }
    UpdateAudioStream(raw, data.data(), frame_count);
    Py_RETURN_NONE;
}

MethodDef create_def{.name = "create",
                     .body = body<create>,
                     .kind = Kind::static_method,
                     .params = {&s_sample_rate, &s_sample_size, &s_channels},
                     .returns = "AudioStream"};
MethodDef play_def{.name = "play", .body = body<playback<PlayAudioStream, play_name>>};
MethodDef pause_def{.name = "pause", .body = body<playback<PauseAudioStream, pause_name>>};
MethodDef resume_def{.name = "resume", .body = body<playback<ResumeAudioStream, resume_name>>};
MethodDef stop_def{.name = "stop", .body = body<playback<StopAudioStream, stop_name>>};
MethodDef update_def{.name = "update", .body = body<update>, .params = {&s_data, &s_frame_count}};
MethodDef unload_def{.name = "unload", .body = body<action_body<c_unload>>};

// ---------------------------------------------------------------------------
// Properties.

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

// The frames one update() fills; None where raylib chose the size.
PyObject* get_buffer_frames(PyObject* self, void*) {
    const AudioStreamObject* s = as_stream(self);
    if (s->is_owner != created) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(refill_frames(s->raw.sampleRate));
}

// playing and processed ask raylib, and so only an owner may read them.
template <bool (*query)(AudioStream), const char* name>
PyObject* get_state(PyObject* self, void*) {
    const AudioStreamObject* s = as_stream(self);
    if (!may_control(s, name)) return nullptr;
    return new_bool(s->raw.buffer && query(s->raw));
}

constexpr char playing_name[] = "playing";
constexpr char processed_name[] = "processed";

// volume, pitch and pan: a cache that a read returns and a write fills
// before it tells raylib; only an owner may write.
// (The frame's cached floats cannot refuse a write: a wrapper must.)
struct StreamFloat {
    const char* name;
    float AudioStreamObject::*field;
    void (*apply)(AudioStream, float);
    Entry get{name, Accessor::get};
    Entry set{name, Accessor::set};
};

StreamFloat volume{"volume", &AudioStreamObject::volume, SetAudioStreamVolume};
StreamFloat pitch{"pitch", &AudioStreamObject::pitch, SetAudioStreamPitch};
StreamFloat pan{"pan", &AudioStreamObject::pan, SetAudioStreamPan};

template <StreamFloat& prop>
PyObject* get_cached(PyObject* self, void*) {
    return or_entry(prop.get, PyFloat_FromDouble(as_stream(self)->*prop.field));
}

template <StreamFloat& prop>
int set_cached(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete();
    AudioStreamObject* s = as_stream(self);
    float v;
    if (!to_float(value, &v) || !may_control(s, prop.name)) {
        add_traceback(prop.set);
        return -1;
    }
    s->*prop.field = v;
    if (s->raw.buffer) prop.apply(s->raw, v);
    return 0;
}

PyGetSetDef getset[] = {
    {"sample_rate", get_sample_rate, nullptr, nullptr, nullptr},
    {"sample_size", get_sample_size, nullptr, nullptr, nullptr},
    {"channels", get_channels, nullptr, nullptr, nullptr},
    {"is_owner", get_is_owner, nullptr, nullptr, nullptr},
    {"valid", get_valid, nullptr, nullptr, nullptr},
    {"buffer_frames", get_buffer_frames, nullptr, nullptr, nullptr},
    {"playing", get_state<IsAudioStreamPlaying, playing_name>, nullptr, nullptr, nullptr},
    {"processed", get_state<IsAudioStreamProcessed, processed_name>, nullptr, nullptr, nullptr},
    {"volume", get_cached<volume>, set_cached<volume>, nullptr, nullptr},
    {"pitch", get_cached<pitch>, set_cached<pitch>, nullptr, nullptr},
    {"pan", get_cached<pan>, set_cached<pan>, nullptr, nullptr},
    {},
};

// ---------------------------------------------------------------------------
// Construction and destruction.

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

// ---------------------------------------------------------------------------
// The module.

bool install();

constexpr MethodDef* all_methods[] = {&unload_def, &create_def, &play_def, &pause_def,
                                      &resume_def, &stop_def,   &update_def};

constexpr Entry* all_entries[] = {&volume.get, &volume.set, &pitch.get,
                                  &pitch.set,  &pan.get,    &pan.set};

constexpr ModuleConfig config{
    .short_name = "audio_stream",
    .full_name = "lumabo.audio_stream.audio_stream",
    .class_name = "AudioStream",
    .state = &state,
    .type = &AudioStreamType,
    .vtable = &vtable,
    .fill_vtable = fill_vtable,
    .methods = all_methods,
    .entries = all_entries,
    .builtins = {{{.name = "staticmethod", .slot = &builtin_staticmethod}}},
    .pickling = false,
    .install = install,
};

bool install() {
    return install_method<config>(unload_def) && install_static_method<config>(create_def) &&
           install_method<config>(play_def) && install_method<config>(pause_def) &&
           install_method<config>(resume_def) && install_method<config>(stop_def) &&
           install_method<config>(update_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_audio_stream() { return PyModuleDef_Init(&lumabo::module_definition<config>); }
