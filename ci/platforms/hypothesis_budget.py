"""pytest plugin for slow platforms: a hypothesis profile chosen by environment variable.

Under CPU emulation the suite can run with fewer generated examples per property instead
of leaving whole areas out. QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES sets the default number of
examples (a test's own @settings(max_examples=...) still wins), and the per-example
deadline is lifted because emulated time says nothing about the code.
"""

import os


def pytest_configure(config):
    cap = os.environ.get("QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES")
    if not cap:
        return
    from hypothesis import HealthCheck, settings

    settings.register_profile(
        "platform-budget",
        max_examples=int(cap),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.load_profile("platform-budget")
