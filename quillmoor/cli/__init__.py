"""The ``quillmoor`` command line: ``demo``, ``merge``, ``merge-many`` and ``generate``."""
