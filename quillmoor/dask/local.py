"""A local Dask cluster of worker processes that listens on the loopback interface only."""

from __future__ import annotations

from typing import Any

#: With the dashboard off the scheduler still serves a few HTTP routes; on port 0 it
#: takes a free port instead of trying 8787, which another cluster may hold.
LOOPBACK_HTTP = {"dashboard_address": "127.0.0.1:0"}


def loopback_cluster(n_workers: int, threads_per_worker: int = 1) -> Any:
    """``LocalCluster`` of ``n_workers`` processes on 127.0.0.1, without a dashboard."""
    from distributed import LocalCluster

    return LocalCluster(
        n_workers=n_workers, threads_per_worker=threads_per_worker, processes=True,
        host="127.0.0.1", dashboard_address=None, scheduler_kwargs=dict(LOOPBACK_HTTP),
    )
