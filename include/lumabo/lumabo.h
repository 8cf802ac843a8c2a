/* C-level method tables of lumabo's classes, for other extension modules.
 *
 * Each class publishes its table in its type's dictionary as the capsule
 * "__pyx_vtable__" (a capsule with no name). Read it once after importing
 * the module:
 *
 *     PyObject *mod = PyImport_ImportModule("lumabo.music.music");
 *     PyObject *cls = PyObject_GetAttrString(mod, "Music");
 *     PyObject *cap = PyObject_GetAttrString(cls, "__pyx_vtable__");
 *     const struct lumabo_Music_vtable *vt = PyCapsule_GetPointer(cap, NULL);
 *
 * Instance slots take the object as `self`; it must be an instance of the
 * class (or of a subclass). Slots that return PyObject* return a new
 * reference or NULL with an exception set. Slots that return void and can
 * fail leave an exception set: test PyErr_Occurred() after the call.
 *
 * Overridable slots take `skip_dispatch`: 0 looks for a Python-level
 * override in a subclass and calls it instead of the built-in action;
 * non-zero always runs the built-in action.
 *
 * Optional arguments travel in a small record: the number supplied, then
 * the values. A NULL record means none was supplied.
 */
#ifndef LUMABO_H
#define LUMABO_H

#include <Python.h>
#include <raylib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* lumabo.audio_stream.audio_stream.AudioStream
 *
 * `cfrom_struct` wraps a raylib stream. Without the optional record (or with
 * is_owner 0) the wrapper describes a stream that its maker releases, as
 * Music and Sound do with theirs: the wrapper then refuses every Python-level
 * method and property that would reach raylib (play, pause, resume, stop,
 * update, playing, processed, the volume, pitch and pan setters) with a
 * TypeError, so it never touches a stream that its maker may have released.
 * With is_owner non-zero the wrapper takes the stream over: those methods
 * act on it, and `c_unload`, unload() or its death release it once with
 * UnloadAudioStream. Such a stream keeps the refill size raylib gave it:
 * its `buffer_frames` is None and update() leaves the size check to raylib.
 *
 * The Python-level static method AudioStream.create(sample_rate,
 * sample_size, channels) makes an owning stream sized for refills of
 * `buffer_frames` frames; it has no slot in this table.
 *
 * Music.load_from_memory and Sound.load_from_memory have no slot either:
 * call them through the class.
 *
 * Modules that import the type are built against this instance layout and
 * check its size (72 bytes) when they import it. */
struct lumabo_AudioStream_object {
    PyObject_HEAD
    const struct lumabo_AudioStream_vtable *vtab;
    AudioStream raw;
    int is_owner;
    float volume;
    float pitch;
    float pan;
};
struct lumabo_AudioStream_opt {
    int n;          /* optional arguments supplied: 0 or 1 */
    int is_owner;   /* default 0: the wrapper never releases the stream, nor acts on it */
};
struct lumabo_AudioStream_vtable {
    PyObject *(*cfrom_struct)(AudioStream raw, struct lumabo_AudioStream_opt *opt);
    PyObject *(*new_)(AudioStream raw, struct lumabo_AudioStream_opt *opt); /* slot "new" */
    void (*c_unload)(PyObject *self);
};

/* lumabo.music.music.Music */
struct lumabo_Music_vtable {
    PyObject *(*new_)(Music raw);            /* slot "new" */
    PyObject *(*c_load)(PyObject *filename); /* filename: exactly str */
    void (*c_unload)(PyObject *self);
    void (*play)(PyObject *self, int skip_dispatch);
    void (*stop)(PyObject *self, int skip_dispatch);
    void (*pause)(PyObject *self, int skip_dispatch);
    void (*resume)(PyObject *self, int skip_dispatch);
    void (*update)(PyObject *self, int skip_dispatch);
    void (*seek)(PyObject *self, float position, int skip_dispatch);
};

/* lumabo.sound.sound.Sound
 *
 * `new` takes over the raylib sound (or, with is_alias, the alias) and
 * releases it once; if it fails, the record is already released. An alias
 * handed to `new` shares samples that raylib frees with its source, and the
 * Sound made here does not keep that source: the caller keeps the source
 * loaded for as long as the alias is used. Sound.load_alias does that
 * itself. */
struct lumabo_Sound_opt {
    int n;          /* optional arguments supplied: 0 or 1 */
    int is_alias;   /* default 0 */
};
struct lumabo_Sound_vtable {
    PyObject *(*new_)(Sound raw, struct lumabo_Sound_opt *opt); /* slot "new" */
    void (*c_unload)(PyObject *self);
};

/* lumabo.cursor.cursor.Cursor */
struct lumabo_Cursor_vtable {
    void (*c_enable)(PyObject *self);
    void (*c_disable)(PyObject *self);
    void (*c_show)(PyObject *self);
    void (*c_hide)(PyObject *self);
    void (*enable)(PyObject *self, int skip_dispatch);
    void (*disable)(PyObject *self, int skip_dispatch);
    void (*show)(PyObject *self, int skip_dispatch);
    void (*hide)(PyObject *self, int skip_dispatch);
};

#ifdef __cplusplus
}
#endif
#endif
