"""One field of a farm: where its tables come from, the task that merges it, where its
result goes.

``sources`` names the kinds of field (an ``.npz`` file, a folder of table files, tables
in memory) and reads them; ``tasks`` is what one task runs for a batch of fields, here or
on a Dask worker; ``results`` writes each result whole or not at all; ``progress`` is the
one bar over many fields. ``quillmoor.dask`` and ``quillmoor merge-many`` are built on it.
"""
