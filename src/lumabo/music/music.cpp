// lumabo.music.music: a music track that raylib streams from a file.
//
// A `Music` holds raylib's record by value and hands a copy of it to every
// raylib call. It owns the stream in that record and releases it once, on
// unload() or when it dies; the release nulls the record's stream buffer.
//
// raylib frees the decoder context of a record when it unloads the stream,
// but the record still points at it, and several music functions read it
// (stop, seek) or the buffer (seek, on a never-loaded all-zero record). So a
// record whose stream buffer is null never reaches raylib: playback calls do
// nothing, setters only update the cache, `valid` is False and `length` and
// `time_played` read 0.0.
//
// The release itself goes by a mark of our own, not by the buffer: raylib
// hands back records that hold an open decoder (and its file) without a
// stream buffer (the audio device closed, a format it could not open a
// stream for), and those are unloaded all the same, exactly once.
//
// A record without frames (or without a sample rate or channels) holds
// nothing playable, and raylib divides by those counts (the time played) or
// refills from the decoder until it has them (update): playback, seek and
// the time read never hand such a record to raylib.
#include "frame.hpp"
#include "memory.hpp"
#include "../checks/checks.hpp"

#include <lumabo/lumabo.h>

#include <cmath>
#include <cstring>

#include <raylib.h>

namespace {

using namespace lumabo;

struct MusicObject {
    PyObject_HEAD
    const lumabo_Music_vtable* vtab;
    Music raw;
    PyObject* stream;  // AudioStream wrapper of raw.stream, or None
    float volume;
    float pitch;
    float pan;
    bool finalized;  // the release on destruction has been attempted
    bool owns_record;  // raw came from raylib holding something, not yet released
    // The encoded file of a Music loaded from memory: raylib's decoders read
    // it for as long as the record is held, so the view is held until the
    // record is released (or the object dies). No view: obj is null.
    Py_buffer data;
};

ModuleState state{.file = "src/lumabo/music/music.cpp"};
Sibling<lumabo_AudioStream_vtable> audio_stream{
    {"lumabo.audio_stream.audio_stream", "AudioStream", sizeof(lumabo_AudioStream_object)}};
lumabo_Music_vtable vtable;
PyObject* builtin_staticmethod = nullptr;
PyObject* builtin_round = nullptr;
extern PyTypeObject MusicType;

MusicObject* as_music(PyObject* self) { return reinterpret_cast<MusicObject*>(self); }

bool holds_stream(const MusicObject* m) { return m->raw.stream.buffer != nullptr; }

// What raylib's time, seek and refill code divides by or waits for.
bool holds_frames(const MusicObject* m) {
    const Music& raw = m->raw;
    return raw.stream.buffer && raw.frameCount && raw.stream.sampleRate && raw.stream.channels;
}

// A record raylib opened a decoder or a stream for, whatever it managed.
bool holds_anything(const Music& raw) { return raw.stream.buffer || raw.ctxData; }

Interned s_filename{"filename"};
Interned s_file_type{"file_type"};
Interned s_data{"data"};
Interned s_position{"position"};
Interned s_state{"__pyx_state"};
Interned s_valid{"valid"};
Interned s_length{"length"};

// Traceback entries of the functions that are not Python-level methods.
namespace entry {
Entry new_{"new"};
Entry c_load{"c_load"};
Entry len{"__len__"};
Entry dealloc{"__dealloc__"};
Entry stream_set{"stream", Accessor::set};
Entry length_get{"length", Accessor::get};
Entry time_played_get{"time_played", Accessor::get};
}  // namespace entry

namespace message {
constexpr const char* cannot_convert = "Cannot convert %.200s to %.200s";
constexpr const char* no_pickling = "self.raw cannot be converted to a Python object for pickling";
constexpr const char* negative_len = "__len__() should return >= 0";
}  // namespace message

// ---------------------------------------------------------------------------
// Making and loading. Both always make a Music itself, never a subclass.

PyObject* new_instance(Music raw) {
    Ref self = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&MusicType)));
    if (!self) {
        // Nothing else will ever release the record: do it now.
        if (holds_anything(raw)) {
            SavedException keep;
            UnloadMusicStream(raw);
        }
        return or_entry(entry::new_, nullptr);
    }
    MusicObject* m = as_music(self.get());
    m->raw = raw;
    m->owns_record = holds_anything(raw);
    // Without an ownership argument the wrapper leaves the release to us.
    Ref stream = Ref::steal(audio_stream.vtable()->cfrom_struct(m->raw.stream, nullptr));
    if (!stream) return or_entry(entry::new_, nullptr);  // dropping self releases the stream
    Py_SETREF(m->stream, stream.release());
    m->volume = 1.0f;
    m->pitch = 1.0f;
    m->pan = 0.0f;
    return self.release();
}

PyObject* c_load(PyObject* filename) {
    if (filename == Py_None) return or_entry(entry::c_load, none_has_no("encode"));
    Ref encoded = encode_path(filename);
    if (!encoded) return or_entry(entry::c_load, nullptr);
    // A file raylib cannot read still gives a Music: `valid` tells.
    Music raw = check::load(LoadMusicStream, PyBytes_AS_STRING(encoded.get()), check::Reader::stream);
    encoded = Ref();
    return or_entry(entry::c_load, new_instance(raw));
}

PyObject* load(PyObject*, PyObject* const* args) { return c_load(args[0]); }

// ---------------------------------------------------------------------------
// Releasing the stream.

void c_unload(PyObject* self) {
    MusicObject* m = as_music(self);
    if (!m->owns_record) return;
    m->owns_record = false;
    UnloadMusicStream(m->raw);
    m->raw.stream.buffer = nullptr;
    release_view(m->data);  // raylib reads the encoded file no more
}

// ---------------------------------------------------------------------------
// Loading from memory.

// What raylib's default configuration decodes as a music stream.
constexpr const char* music_file_types[] = {".wav", ".ogg", ".mp3", ".qoa", ".xm", ".mod"};

// raylib decodes the stream from the caller's memory as it plays (wav, ogg
// and mp3 read it in place), so the Music holds the exported view for as
// long as it holds the record: until the release that the mark calls for.
// A record that raylib could not open holds nothing, and neither does the
// Music; one that cannot play (no stream buffer, no frames) is held and
// released like any other, and its `valid` is False.
PyObject* load_from_memory(PyObject*, PyObject* const* args) {
    const char* file_type =
        known_file_type(args[0], music_file_types, "music");
    if (!file_type) return nullptr;
    BufferView data;
    if (!data.request(args[1]) || !encoded_data_fits(data)) return nullptr;

    Music raw = check::refused(file_type, data.data(), static_cast<uint64_t>(data.size()),
                               check::Reader::stream_in_memory)
                    ? Music{}
                    : LoadMusicStreamFromMemory(file_type, data.data(), static_cast<int>(data.size()));
    Ref self = Ref::steal(new_instance(raw));
    // Failing, new_instance released the record before the view below goes.
    if (!self) return nullptr;
    MusicObject* m = as_music(self.get());
    if (m->owns_record) m->data = data.hand_over();
    return self.release();
}

// ---------------------------------------------------------------------------
// Playback. The plain actions make no Python call and allocate nothing.

template <void (*raylib_call)(Music)>
void act(PyObject* self) {
    MusicObject* m = as_music(self);
    if (holds_frames(m)) raylib_call(m->raw);
}

void c_seek(PyObject* self, float position) {
    MusicObject* m = as_music(self);
    if (holds_frames(m)) SeekMusicStream(m->raw, position);
}

// The Python-level methods act directly: an override in a subclass is found
// by ordinary attribute lookup before they are reached. The C-level slots
// of the same names look for one first.
PyObject* seek(PyObject* self, PyObject* const* args) {
    float position;
    if (!to_float(args[0], &position)) return nullptr;
    c_seek(self, position);
    Py_RETURN_NONE;
}

MethodDef play_def{.name = "play", .body = body<action_body<act<PlayMusicStream>>>};
MethodDef stop_def{.name = "stop", .body = body<action_body<act<StopMusicStream>>>};
MethodDef pause_def{.name = "pause", .body = body<action_body<act<PauseMusicStream>>>};
MethodDef resume_def{.name = "resume", .body = body<action_body<act<ResumeMusicStream>>>};
MethodDef update_def{.name = "update", .body = body<action_body<act<UpdateMusicStream>>>};
MethodDef seek_def{.name = "seek", .body = body<seek>, .params = {&s_position}};
MethodDef unload_def{.name = "unload", .body = body<action_body<c_unload>>};
MethodDef load_def{.name = "load",
                   .body = body<load>,
                   .kind = Kind::static_method,
                   .params = {&s_filename},
                   .accepts = {Accept::str_or_none},
                   .returns = "Music"};
MethodDef load_from_memory_def{.name = "load_from_memory",
                               .body = body<load_from_memory>,
                               .kind = Kind::static_method,
                               .params = {&s_file_type, &s_data},
                               .accepts = {Accept::str_or_none, Accept::any},
                               .returns = "Music"};

void overridable_seek(PyObject* self, float position, int skip_dispatch) {
    // The override's argument is made only for a type that can hold one.
    if (!skip_dispatch && may_override(Py_TYPE(self))) {
        Ref arg = Ref::steal(PyFloat_FromDouble(position));
        if (!arg) {
            add_traceback(seek_def);
            return;
        }
        if (dispatch_override(self, seek_def, arg) != Dispatch::body) return;
    }
    c_seek(self, position);
}

void fill_vtable() {
    vtable = {
        .new_ = new_instance,
        .c_load = c_load,
        .c_unload = c_unload,
        .play = overridable<act<PlayMusicStream>, play_def>,
        .stop = overridable<act<StopMusicStream>, stop_def>,
        .pause = overridable<act<PauseMusicStream>, pause_def>,
        .resume = overridable<act<ResumeMusicStream>, resume_def>,
        .update = overridable<act<UpdateMusicStream>, update_def>,
        .seek = overridable_seek,
    };
}

// ---------------------------------------------------------------------------
// Properties.

PyObject* get_valid(PyObject* self, void*) {
    // raylib's own check never looks at the buffer, so a released record
    // would pass it.
    const MusicObject* m = as_music(self);
    return new_bool(holds_stream(m) && IsMusicValid(m->raw));
}

PyObject* get_looping(PyObject* self, void*) { return new_bool(as_music(self)->raw.looping); }

int set_looping(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete();
    if (value != Py_True && value != Py_False && value != Py_None) {
        raise_argument_type("value", "bool", value);
        return -1;
    }
    // Reaches raylib with the next call that is given the record.
    as_music(self)->raw.looping = value == Py_True;
    return 0;
}

// volume, pitch and pan: cached; a record that holds no stream is not told.
template <void (*raylib_set)(Music, float)>
void tell(MusicObject& m, float value) {
    if (holds_stream(&m)) raylib_set(m.raw, value);
}

CachedFloat<MusicObject> volume{"volume", &MusicObject::volume, tell<SetMusicVolume>};
CachedFloat<MusicObject> pitch{"pitch", &MusicObject::pitch, tell<SetMusicPitch>};
CachedFloat<MusicObject> pan{"pan", &MusicObject::pan, tell<SetMusicPan>};

PyObject* get_length(PyObject* self, void*) {
    const MusicObject* m = as_music(self);
    float seconds = holds_frames(m) ? GetMusicTimeLength(m->raw) : 0.0f;
    return or_entry(entry::length_get, PyFloat_FromDouble(seconds));
}

PyObject* get_time_played(PyObject* self, void*) {
    const MusicObject* m = as_music(self);
    float seconds = holds_frames(m) ? GetMusicTimePlayed(m->raw) : 0.0f;
    return or_entry(entry::time_played_get, PyFloat_FromDouble(seconds));
}

PyObject* get_stream(PyObject* self, void*) { return Py_NewRef(as_music(self)->stream); }

// Replaces the wrapper only; the record, and so what raylib plays, stays.
int set_stream(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    PyTypeObject* type = audio_stream.type;
    if (value != Py_None && !PyObject_TypeCheck(value, type)) {
        PyErr_Format(PyExc_TypeError, message::cannot_convert, Py_TYPE(value)->tp_name,
                     type->tp_name);
        add_traceback(entry::stream_set);
        return -1;
    }
    Py_SETREF(as_music(self)->stream, Py_NewRef(value));
    return 0;
}

PyGetSetDef music_getset[] = {
    {"valid", get_valid, nullptr, nullptr, nullptr},
    {"looping", get_looping, set_looping, nullptr, nullptr},
    cached_float<volume>(),
    cached_float<pitch>(),
    cached_float<pan>(),
    {"length", get_length, nullptr, nullptr, nullptr},
    {"time_played", get_time_played, nullptr, nullptr, nullptr},
    {"stream", get_stream, set_stream, nullptr, nullptr},
    {},
};

// ---------------------------------------------------------------------------
// len(): the length in whole seconds, through the builtin round.
//
// On a Music itself `length` can only be the getter above, and when round is
// the builtin one their work is done here without the lookup and the call,
// which cost three times the rest: round takes a float to the nearest whole
// number, halves to even. A subclass, a round replaced before the module was
// imported, or a length that no size can hold (NaN, infinite, huge) takes
// the general road, whose errors are round's and __index__'s own.

bool round_is_builtin = false;

// For |x| < 2**62, where truncating is exact and so is the rest it leaves.
Py_ssize_t round_half_even(double x) {
    auto whole = static_cast<Py_ssize_t>(x);
    double rest = x - static_cast<double>(whole);
    if (rest > 0.5 || (rest == 0.5 && (whole & 1)))
        ++whole;
    else if (rest < -0.5 || (rest == -0.5 && (whole & 1)))
        --whole;
    return whole;
}

Py_ssize_t music_len(PyObject* self) {
    if (Py_IS_TYPE(self, &MusicType) && round_is_builtin) {
        const MusicObject* m = as_music(self);
        double seconds = holds_frames(m) ? GetMusicTimeLength(m->raw) : 0.0;
        if (std::fabs(seconds) < 0x1p62) return round_half_even(seconds);
    }
    Ref length = Ref::steal(PyObject_GetAttr(self, s_length.get()));
    Ref rounded = length ? Ref::steal(PyObject_CallOneArg(builtin_round, length.get())) : Ref();
    Ref index = rounded ? Ref::steal(PyNumber_Index(rounded.get())) : Ref();
    Py_ssize_t n = index ? PyLong_AsSsize_t(index.get()) : -1;
    if (n < -1 || (n == -1 && !PyErr_Occurred())) {
        PyErr_SetString(PyExc_ValueError, message::negative_len);
        n = -1;
    }
    if (n == -1) add_traceback(entry::len);
    return n;
}

PySequenceMethods music_as_sequence = {
    .sq_length = music_len,
};

PyMappingMethods music_as_mapping = {
    .mp_length = music_len,
};

// ---------------------------------------------------------------------------
// Pickling: the record holds raylib's pointers, which have no Python form.

PyObject* refuse_pickling(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, message::no_pickling);
    return nullptr;
}

MethodDef reduce_def{.name = "__reduce__", .body = body<refuse_pickling>};
MethodDef setstate_def{.name = "__setstate__", .body = body<refuse_pickling>, .params = {&s_state}};

PyMethodDef music_methods[] = {
    method_table_entry<reduce_def>(),
    method_table_entry<setstate_def>(),
    {},
};

// ---------------------------------------------------------------------------
// Garbage collection: an instance holds `stream` and, loaded from memory,
// the exporter of its encoded file.

int music_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_music(self)->stream);
    // The exporter of a held file stays until the stream is released.
    Py_VISIT(as_music(self)->data.obj);
    return 0;
}

// A cleared instance still reads `stream` as None.
int music_clear(PyObject* self) {
    Py_SETREF(as_music(self)->stream, Py_NewRef(Py_None));
    return 0;
}

// ---------------------------------------------------------------------------
// Construction and destruction.

PyObject* music_new(PyTypeObject* type, PyObject*, PyObject*) {
    MusicObject* self = allocate<MusicObject>(type);
    if (!self) return nullptr;
    self->vtab = &vtable;
    self->stream = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(self);
}

// The release on destruction: `valid` is read by attribute lookup, so a
// subclass's override decides. Its errors cannot propagate; they are
// reported, and an exception in flight is left as it was.
//
// This runs as the finaliser, on an object that is still alive: whatever
// takes a reference to it here (the lookup's AttributeError, a subclass's
// `valid`, an unraisable hook that keeps the exception) keeps it alive, and
// the interpreter then resurrects it instead of freeing it. Running before
// the collector clears anything, it also still finds a subclass's `valid`
// when the subclass dies in the same collection.
//
// The interpreter shows the finaliser as `Music.__del__`; that is how a
// subclass without one inherits it, and a subclass's own __del__ may call
// super().__del__() to have the release done there.
void music_finalize(PyObject* self) {
    MusicObject* m = as_music(self);
    if (m->finalized) return;
    m->finalized = true;
    SavedException in_flight;
    Ref valid = Ref::steal(PyObject_GetAttr(self, s_valid.get()));
    int truth = valid ? PyObject_IsTrue(valid.get()) : -1;
    // A record that raylib could not make valid may still hold its decoder
    // and file: the mark, not the verdict, says whether there is a release.
    if (truth >= 0) c_unload(self);
    if (truth < 0) report_unraisable(entry::dealloc.where);
}

// A subclass that defines __del__ replaces the finaliser, so the release
// runs here instead, on a dying object under a temporary reference. If that
// reference is no longer the only one when the release is done, the object
// stays alive for whoever holds it and is freed when they let go; false
// tells the caller to stop.
bool finalize_in_dealloc(PyObject* self) {
    Py_SET_REFCNT(self, 1);
    music_finalize(self);
    Py_SET_REFCNT(self, Py_REFCNT(self) - 1);
    if (Py_REFCNT(self) == 0) return true;
    // The subclass's dealloc drops the instance's reference to its class
    // once we return; the living object still needs it.
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) Py_INCREF(type);
    return false;
}

void music_dealloc(PyObject* self) {
    if (resurrected_by_finalizer(self, music_dealloc)) return;
    if (!as_music(self)->finalized && !finalize_in_dealloc(self)) return;
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_music(self)->stream);
    // Whatever became of the stream, nothing can reach it through this
    // object any more.
    release_view(as_music(self)->data);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject MusicType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumabo.music.music.Music",
    .tp_basicsize = sizeof(MusicObject),
    .tp_dealloc = music_dealloc,
    .tp_as_sequence = &music_as_sequence,
    .tp_as_mapping = &music_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = music_traverse,
    .tp_clear = music_clear,
    .tp_methods = music_methods,
    .tp_getset = music_getset,
    .tp_new = music_new,
    .tp_finalize = music_finalize,
};

// ---------------------------------------------------------------------------
// The module.

bool install();

constexpr MethodDef* all_methods[] = {&play_def,   &stop_def,   &pause_def, &resume_def,
                                      &update_def, &seek_def,   &unload_def, &load_def,
                                      &reduce_def, &setstate_def, &load_from_memory_def};
constexpr Entry* all_entries[] = {
    &entry::new_,       &entry::c_load,     &entry::len,           &entry::dealloc,
    &entry::stream_set, &entry::length_get, &entry::time_played_get, &volume.get,
    &volume.set,        &pitch.get,         &pitch.set,            &pan.get,
    &pan.set,
};

constexpr SiblingType* siblings[] = {&audio_stream};

constexpr ModuleConfig config{
    .short_name = "music",
    .full_name = "lumabo.music.music",
    .class_name = "Music",
    .state = &state,
    .type = &MusicType,
    .vtable = &vtable,
    .fill_vtable = fill_vtable,
    .methods = all_methods,
    .entries = all_entries,
    .builtins = {{{"staticmethod", &builtin_staticmethod}, {"round", &builtin_round}}},
    .siblings = siblings,
    .install = install,
};

bool install() {
    // The builtins module's own round, not one put there before the import.
    round_is_builtin =
        PyCFunction_Check(builtin_round) && PyCFunction_GET_SELF(builtin_round) == state.builtins &&
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(builtin_round)->m_ml->ml_name, "round") == 0;
    for (const MethodDef* def :
         {&play_def, &stop_def, &pause_def, &resume_def, &update_def, &seek_def, &unload_def})
        if (!install_method<config>(*def)) return false;
    return install_static_method<config>(load_def) &&
           install_static_method<config>(load_from_memory_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_music() { return PyModuleDef_Init(&lumabo::module_definition<config>); }
