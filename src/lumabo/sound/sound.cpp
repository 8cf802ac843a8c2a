// lumabo.sound.sound: a sound effect whose samples raylib holds in memory.
//
// A `Sound` owns the raylib sound or alias it was made with and releases it
// exactly once: on unload(), or when the object dies. A null
// `raw.stream.buffer` means that nothing is held any more.
//
// An alias shares its source's sample data, which raylib frees with the
// source (UnloadSound). So an alias made by load_alias keeps the sound that
// owns the samples alive, and that sound counts the aliases sharing them.
// unload() of a sound that is still shared stops its own playback and
// releases it as far as Python can see, but keeps the raylib record aside
// until the last alias lets go; only then does raylib free the samples.
#include "frame.hpp"
#include "memory.hpp"
#include "../checks/checks.hpp"

#include <lumabo/lumabo.h>

#include <raylib.h>

namespace {

using namespace lumabo;

constexpr const char* module_name = "lumabo.sound.sound";

struct SoundObject {
    PyObject_HEAD
    const lumabo_Sound_vtable* vtab;
    Sound raw;
    int is_alias;
    float volume;
    float pitch;
    float pan;
    PyObject* stream;  // AudioStream wrapper of raw.stream, or None

    // Not visible from Python: who keeps the shared samples alive.
    PyObject* source;  // an alias's owner of the samples (a strong reference)
    Py_ssize_t sharers;  // aliases that share this sound's samples
    Sound unload_deferred;  // released by unload() while still shared
};

ModuleState state{.file = "src/lumabo/sound/sound.cpp"};
Sibling<lumabo_AudioStream_vtable> audio_stream{
    {"lumabo.audio_stream.audio_stream", "AudioStream", sizeof(lumabo_AudioStream_object)}};
lumabo_Sound_vtable vtable;
PyObject* builtin_staticmethod = nullptr;
extern PyTypeObject SoundType;

SoundObject* as_sound(PyObject* self) { return reinterpret_cast<SoundObject*>(self); }

// Traceback entries of the functions that are not Python-level methods, and
// the texts of errors raised here.
namespace entry {
Entry new_{"new"};
Entry frame_count_get{"frame_count", Accessor::get};
}  // namespace entry

namespace message {
constexpr const char* pickling = "self._raw cannot be converted to a Python object for pickling";
constexpr const char* negative_count = "frame_count %d is negative";
constexpr const char* beyond_sound = "frame_count %d is more than the %u frames the sound holds";
constexpr const char* beyond_buffer =
    "frame_count %d is more than the %zd frames the buffer holds (%zd bytes, %llu bytes a frame)";
}  // namespace message

Interned s_file_name{"file_name"};
Interned s_file_type{"file_type"};
Interned s_source{"source"};
Interned s_data{"data"};
Interned s_frame_count{"frame_count"};
Interned s_state{"__pyx_state"};

// ---------------------------------------------------------------------------
// Release.

void unload_raw(const Sound& raw, bool is_alias) {
    if (is_alias)
        UnloadSoundAlias(raw);
    else
        UnloadSound(raw);
}

// An alias gives back its share of the samples. The last one out frees them
// if their owner was unloaded meanwhile. Dropping the reference may destroy
// the owner, which then releases itself.
void let_go_of_source(SoundObject* alias) {
    if (!alias->source) return;
    SoundObject* owner = as_sound(alias->source);
    if (--owner->sharers == 0 && owner->unload_deferred.stream.buffer) {
        UnloadSound(owner->unload_deferred);
        owner->unload_deferred.stream.buffer = nullptr;
    }
    Py_CLEAR(alias->source);
}

// The release steps of c_unload, unload() and destruction.
void release(SoundObject* s) {
    if (!s->raw.stream.buffer) return;
    if (s->is_alias) {
        UnloadSoundAlias(s->raw);
        s->raw.stream.buffer = nullptr;
        let_go_of_source(s);
    } else if (s->sharers) {
        // Aliases still play these samples: silence this sound now, free it
        // with the last alias.
        StopSound(s->raw);
        s->unload_deferred = s->raw;
        s->raw.stream.buffer = nullptr;
    } else {
        UnloadSound(s->raw);
        s->raw.stream.buffer = nullptr;
    }
}

// An alias made by load_alias keeps the owner of the samples alive. An
// alias of an alias shares the same samples, so it counts on their owner
// too, never on the intermediate alias.
void share_samples(SoundObject* alias, SoundObject* source) {
    PyObject* owner = source->source ? source->source : reinterpret_cast<PyObject*>(source);
    alias->source = Py_NewRef(owner);
    ++as_sound(owner)->sharers;
}

// ---------------------------------------------------------------------------
// Construction.

PyObject* sound_new(PyTypeObject* type, PyObject*, PyObject*) {
    SoundObject* self = allocate<SoundObject>(type);
    if (!self) return nullptr;
    self->vtab = &vtable;
    self->stream = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(self);
}

// C-level `new`: the only way the module builds a loaded Sound. Always of
// the module's own class, whoever asked.
PyObject* new_instance(Sound raw, lumabo_Sound_opt* opt) {
    const int is_alias = (opt && opt->n >= 1) ? opt->is_alias : 0;
    Ref self = Ref::steal(sound_new(&SoundType, nullptr, nullptr));
    if (!self) {
        // Nothing else refers to the record: release it rather than leak it.
        if (raw.stream.buffer) {
            SavedException keep;
            unload_raw(raw, is_alias != 0);
        }
        add_traceback(entry::new_);
        return nullptr;
    }
    SoundObject* s = as_sound(self.get());
    s->is_alias = is_alias;
    s->pan = 0.5f;
    s->raw = raw;
    s->volume = 1.0f;
    s->pitch = 1.0f;
    Ref stream = Ref::steal(audio_stream.vtable()->cfrom_struct(raw.stream, nullptr));
    if (!stream) {
        // The half-built object holds the record: its destruction releases it.
        add_traceback(entry::new_);
        return nullptr;
    }
    Py_SETREF(s->stream, stream.release());
    return self.release();
}

void c_unload(PyObject* self) { release(as_sound(self)); }

void fill_vtable() { vtable = {.new_ = new_instance, .c_unload = c_unload}; }

// ---------------------------------------------------------------------------
// Loading.

PyObject* load(PyObject*, PyObject* const* args) {
    PyObject* file_name = args[0];
    if (file_name == Py_None) return none_has_no("encode");
    Ref file_name_bytes = encode_path(file_name);
    if (!file_name_bytes) return nullptr;
    Sound raw = check::load(LoadSound, PyBytes_AS_STRING(file_name_bytes.get()), check::Reader::whole);
    lumabo_Sound_opt opt{.n = 1, .is_alias = 0};
    return new_instance(raw, &opt);
}

// What raylib's default configuration decodes as a sound.
constexpr const char* sound_file_types[] = {".wav", ".ogg", ".mp3", ".qoa"};

// raylib decodes the whole file into samples of its own, so the data is
// only read during the call. Data that decodes to no samples gives a Sound
// that holds nothing (`valid` False), as a file that raylib cannot read.
PyObject* load_from_memory(PyObject*, PyObject* const* args) {
    const char* file_type =
        known_file_type(args[0], sound_file_types, "sounds");
    if (!file_type) return nullptr;
    Sound raw{};
    {
        BufferView data;
        if (!data.request_for_call(args[1]) || !encoded_data_fits(data)) return nullptr;
        // raylib reads a file into memory and decodes it from there: the
        // same look at the data as at a file.
        const bool refused = check::refused(file_type, data.data(), static_cast<uint64_t>(data.size()),
                                            check::Reader::whole);
        Wave wave = refused ? Wave{}
                            : LoadWaveFromMemory(file_type, data.data(), static_cast<int>(data.size()));
        if (IsWaveValid(wave)) raw = LoadSoundFromWave(wave);
        UnloadWave(wave);
    }
    lumabo_Sound_opt opt{.n = 1, .is_alias = 0};
    return new_instance(raw, &opt);
}

// raylib reads the source's buffer unchecked, so a source that holds
// nothing never reaches it: the alias holds nothing either, as raylib's own
// answer is for a source without samples.
PyObject* load_alias(PyObject*, PyObject* const* args) {
    SoundObject* source = as_sound(args[0]);
    lumabo_Sound_opt opt{.n = 1, .is_alias = 1};
    if (!source->raw.stream.buffer) return new_instance(Sound{}, &opt);

    Sound raw = LoadSoundAlias(source->raw);
    Ref alias = Ref::steal(new_instance(raw, &opt));
    if (!alias) return nullptr;
    if (raw.stream.buffer) share_samples(as_sound(alias.get()), source);
    return alias.release();
}

// ---------------------------------------------------------------------------
// Refilling from a buffer.

// raylib copies `frame_count` frames of the sound's own format from the
// buffer into the sound's samples, trusting both sizes: check them here.
bool count_fits(const Sound& raw, int frame_count, Py_ssize_t bytes) {
    if (static_cast<unsigned>(frame_count) > raw.frameCount) {
        PyErr_Format(PyExc_ValueError, message::beyond_sound, frame_count, raw.frameCount);
        return false;
    }
    const unsigned long long frame_size =
        static_cast<unsigned long long>(raw.stream.channels) * raw.stream.sampleSize / 8;
    // A record without a frame format (made by a C caller) gives raylib no
    // size to trust: no frame of it fits.
    const auto whole_frames =
        frame_size ? static_cast<Py_ssize_t>(static_cast<unsigned long long>(bytes) / frame_size) : 0;
    if (frame_count > whole_frames) {
        PyErr_Format(PyExc_ValueError, message::beyond_buffer, frame_count, whole_frames, bytes,
                     frame_size);
        return false;
    }
    return true;
}

PyObject* update(PyObject* self, PyObject* const* args) {
    const Sound& raw = as_sound(self)->raw;
    int frame_count;
    if (!to_int(args[1], &frame_count)) return nullptr;
    if (frame_count < 0) {
        PyErr_Format(PyExc_ValueError, message::negative_count, frame_count);
        return nullptr;
    }
    BufferView data;
    if (!data.request_for_call(args[0])) return nullptr;
    if (!count_fits(raw, frame_count, data.size())) return nullptr;
    UpdateSound(raw, data.data(), frame_count);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Playback. raylib treats a null buffer as an empty sound in each of these.

template <void (*raylib_call)(Sound)>
void act(PyObject* self) {
    raylib_call(as_sound(self)->raw);
}

// A sound without frames (an empty recording) still gets a buffer from
// raylib, whose mixer divides by its size once it plays: it never starts.
void play(PyObject* self) {
    const Sound& raw = as_sound(self)->raw;
    if (!raw.stream.buffer || raw.frameCount) PlaySound(raw);
}

// ---------------------------------------------------------------------------
// Pickling: the raylib record cannot travel.

PyObject* refuse_pickling(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, message::pickling);
    return nullptr;
}

MethodDef unload_def{.name = "unload", .body = body<action_body<c_unload>>};
MethodDef load_def{.name = "load",
                   .body = body<load>,
                   .kind = Kind::static_method,
                   .params = {&s_file_name},
                   .accepts = {Accept::str_or_none},
                   .returns = "Sound"};
MethodDef load_alias_def{.name = "load_alias",
                         .body = body<load_alias>,
                         .kind = Kind::static_method,
                         .params = {&s_source},
                         .accepts = {Accept::instance},
                         .returns = "Sound"};
MethodDef load_from_memory_def{.name = "load_from_memory",
                               .body = body<load_from_memory>,
                               .kind = Kind::static_method,
                               .params = {&s_file_type, &s_data},
                               .accepts = {Accept::str_or_none, Accept::any},
                               .returns = "Sound"};
MethodDef update_def{.name = "update", .body = body<update>, .params = {&s_data, &s_frame_count}};
MethodDef play_def{.name = "play", .body = body<action_body<play>>};
MethodDef stop_def{.name = "stop", .body = body<action_body<act<StopSound>>>};
MethodDef pause_def{.name = "pause", .body = body<action_body<act<PauseSound>>>};
MethodDef resume_def{.name = "resume", .body = body<action_body<act<ResumeSound>>>};
MethodDef reduce_def{.name = "__reduce__", .body = body<refuse_pickling>};
MethodDef setstate_def{.name = "__setstate__", .body = body<refuse_pickling>, .params = {&s_state}};

PyMethodDef sound_methods[] = {
    method_table_entry<reduce_def>(),
    method_table_entry<setstate_def>(),
    {},
};

// ---------------------------------------------------------------------------
// Properties.

PyObject* get_valid(PyObject* self, void*) {
    const Sound& raw = as_sound(self)->raw;
    return new_bool(raw.stream.buffer && IsSoundValid(raw));
}

PyObject* get_is_alias(PyObject* self, void*) { return new_bool(as_sound(self)->is_alias != 0); }

PyObject* get_frame_count(PyObject* self, void*) {
    return or_entry(entry::frame_count_get, PyLong_FromUnsignedLong(as_sound(self)->raw.frameCount));
}

PyObject* get_stream(PyObject* self, void*) { return Py_NewRef(as_sound(self)->stream); }

PyObject* get_playing(PyObject* self, void*) { return new_bool(IsSoundPlaying(as_sound(self)->raw)); }

// Volume, pitch and pan: cached; raylib treats a null buffer as an empty
// sound, so every value is passed on.
template <void (*raylib_set)(Sound, float)>
void tell(SoundObject& s, float value) {
    raylib_set(s.raw, value);
}

CachedFloat<SoundObject> volume{"volume", &SoundObject::volume, tell<SetSoundVolume>};
CachedFloat<SoundObject> pitch{"pitch", &SoundObject::pitch, tell<SetSoundPitch>};
CachedFloat<SoundObject> pan{"pan", &SoundObject::pan, tell<SetSoundPan>};

PyGetSetDef sound_getset[] = {
    {"valid", get_valid, nullptr, nullptr, nullptr},
    {"is_alias", get_is_alias, nullptr, nullptr, nullptr},
    {"frame_count", get_frame_count, nullptr, nullptr, nullptr},
    {"stream", get_stream, nullptr, nullptr, nullptr},
    {"playing", get_playing, nullptr, nullptr, nullptr},
    cached_float<volume>(),
    cached_float<pitch>(),
    cached_float<pan>(),
    {},
};

// ---------------------------------------------------------------------------
// Garbage collection and destruction.

int sound_traverse(PyObject* self, visitproc visit, void* arg) {
    SoundObject* s = as_sound(self);
    Py_VISIT(s->stream);
    Py_VISIT(s->source);
    return 0;
}

// The owner of an alias's samples is a plain Sound that refers to no alias,
// so `source` closes no cycle; it is let go only with the alias's release,
// never before raylib has freed the alias.
int sound_clear(PyObject* self) {
    Py_SETREF(as_sound(self)->stream, Py_NewRef(Py_None));
    return 0;
}

void sound_dealloc(PyObject* self) {
    if (resurrected_by_finalizer(self, sound_dealloc)) return;
    PyObject_GC_UnTrack(self);
    SoundObject* s = as_sound(self);
    {
        SavedException keep;
        release(s);
    }
    // The wrapper outlives the raylib sound it describes, briefly.
    Py_CLEAR(s->stream);
    Py_CLEAR(s->source);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject SoundType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumabo.sound.sound.Sound",
    .tp_basicsize = sizeof(SoundObject),
    .tp_dealloc = sound_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = sound_traverse,
    .tp_clear = sound_clear,
    .tp_methods = sound_methods,
    .tp_getset = sound_getset,
    .tp_new = sound_new,
};

// ---------------------------------------------------------------------------
// The module.

bool install();

constexpr MethodDef* all_methods[] = {&unload_def, &load_def,  &load_alias_def, &update_def,
                                      &play_def,   &stop_def,  &pause_def,      &resume_def,
                                      &reduce_def, &setstate_def, &load_from_memory_def};
constexpr Entry* all_entries[] = {&entry::new_, &entry::frame_count_get, &volume.get, &volume.set,
                                  &pitch.get,   &pitch.set,              &pan.get,    &pan.set};

constexpr SiblingType* siblings[] = {&audio_stream};

constexpr ModuleConfig config{
    .short_name = "sound",
    .full_name = module_name,
    .class_name = "Sound",
    .state = &state,
    .type = &SoundType,
    .vtable = &vtable,
    .fill_vtable = fill_vtable,
    .methods = all_methods,
    .entries = all_entries,
    .builtins = {{{.name = "staticmethod", .slot = &builtin_staticmethod}}},
    .siblings = siblings,
    .install = install,
};

bool install() {
    return install_method<config>(unload_def) && install_static_method<config>(load_def) &&
           install_static_method<config>(load_alias_def) && install_method<config>(update_def) &&
           install_method<config>(play_def) && install_method<config>(stop_def) &&
           install_method<config>(pause_def) && install_method<config>(resume_def) &&
           install_static_method<config>(load_from_memory_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_sound() { return PyModuleDef_Init(&lumabo::module_definition<config>); }
