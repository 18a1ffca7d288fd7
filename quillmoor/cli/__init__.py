"""The ``quillmoor`` command line: ``demo``, ``merge`` and ``generate``."""
