"""Shared fixtures: the native function, the reference model, and one failure type for both."""

import re

import pytest

import reference

RECORD_INDEX = re.compile(r"connection record (\d+)\b")


class MergeFailed(Exception):
    """A failed call of either implementation.

    `text` is the failure text (None where the reference leaves the text to the engine);
    `record` is the index of the connection record that failed, where it is known: the
    reference knows it always, the engine names it in the texts it chooses itself.
    """

    def __init__(self, text, record):
        super().__init__(text, record)
        self.text = text
        self.record = record


def is_panic_exception(error: BaseException) -> bool:
    kind = type(error)
    return (
        kind.__name__ == "PanicException"
        and kind.__module__ == "pyo3_runtime"
        and not issubclass(kind, Exception)
    )


@pytest.fixture(scope="session")
def native_merge():
    from quillmoor._native import merge_points_removing_overlap

    def call(*args):
        try:
            return merge_points_removing_overlap(*args)
        except BaseException as error:  # the internal-error type is not an Exception
            if not is_panic_exception(error):
                raise
            assert error.args == (str(error),)
            found = RECORD_INDEX.search(str(error))
            raise MergeFailed(str(error), int(found.group(1)) if found else None) from None

    return call


def reference_merge(*args):
    try:
        return reference.merge_points_removing_overlap(*args)
    except reference.ReferenceFailure as failure:
        raise MergeFailed(failure.text, failure.record) from None


@pytest.fixture(params=["reference", "native"])
def merge(request):
    """Each implementation in turn: the documented examples hold for both."""
    if request.param == "reference":
        return reference_merge
    return request.getfixturevalue("native_merge")
