"""The merge for the tables users have, over the exact function of ``quillmoor._native``.

``merge`` turns array-likes into the float64 tables the engine reads (``quillmoor.tables``
does the converting and checking), looks the keys up first so that tables which do not fit
together raise ``MergeError`` with the engine's own text, and then calls the engine. The
frame path (``quillmoor.frames``) and the many-fields path (``quillmoor.fields``) call the
engine through here, so every merge is checked the same way.
"""
