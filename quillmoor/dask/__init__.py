"""Many fields on Dask: ``pip install 'quillmoor[dask]'``.

``merge_fields`` runs one merge per field (or per batch of small fields) as one task on
a ``distributed`` cluster, over fields given as paths or tables in memory, and gathers
the results, leaves them on the workers, or has the workers write them (``output=``,
a folder or an fsspec URL) and returns a ``FieldSummary`` per field.
``merge_partitions`` merges a Dask DataFrame of many fields' points partition by
partition; ``read_fields_parquet`` reads a Parquet dataset partitioned by field as such
a frame, one partition per field.
``loopback_cluster`` starts a local cluster of worker processes on 127.0.0.1.

Dask itself is imported only when a cluster is used: ``merge_fields`` without a client
runs in this process and needs no Dask.
"""

from quillmoor.dask.local import loopback_cluster
from quillmoor.dask.many_fields import (
    DEFAULT_BATCH_POINTS,
    merge_fields,
    merge_fields_as_completed,
)
from quillmoor.dask.partitions import merge_partitions, read_fields_parquet
from quillmoor.fields.results import FieldSummary

__all__ = [
    "DEFAULT_BATCH_POINTS",
    "FieldSummary",
    "loopback_cluster",
    "merge_fields",
    "merge_fields_as_completed",
    "merge_partitions",
    "read_fields_parquet",
]
