"""pytest plugin for slow platforms: fewer generated examples per property, by environment variable.

Under CPU emulation the suite can run with fewer generated examples per property instead
of leaving whole areas out. QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES caps the number of examples
of every property, those whose own @settings ask for more included (the reference
comparisons ask for hundreds, which under emulation cost minutes each), and the
per-example deadline is lifted because emulated time says nothing about the code. Results
across platforms are compared bit for bit on fixed fields by the stages themselves.
"""

import os


def _cap() -> int | None:
    cap = os.environ.get("QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES")
    return int(cap) if cap else None


def pytest_configure(config):
    cap = _cap()
    if cap is None:
        return
    from hypothesis import HealthCheck, settings

    settings.register_profile(
        "platform-budget",
        max_examples=cap,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.load_profile("platform-budget")


def pytest_collection_modifyitems(items):
    cap = _cap()
    if cap is None:
        return
    from hypothesis import settings

    for item in items:
        test = getattr(item, "obj", None)
        test = getattr(test, "__func__", test)  # a method's function carries the settings
        # Where hypothesis keeps a test's own @settings; absent, the test runs as asked.
        own = getattr(test, "_hypothesis_internal_use_settings", None)
        if own is not None and own.max_examples > cap:
            test._hypothesis_internal_use_settings = settings(own, max_examples=cap)
