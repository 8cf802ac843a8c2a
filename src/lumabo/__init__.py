"""raylib's music, sound and mouse cursor for Python.

Import the module you need: ``lumabo.music.music``, ``lumabo.sound.sound``
or ``lumabo.cursor.cursor``. Importing this package imports none of them.
"""
