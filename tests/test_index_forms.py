# The forms a frame index takes in atomkit.read and iread: ints, slices, str forms, and
# the one-sentence TypeError for anything else.
import numpy as np
import pytest

import atomkit
from atomkit.reading.api import _index


@pytest.mark.parametrize("index, expected", [
    (3, 3), (np.int64(-1), -1), (True, 1), (slice(1, None, 2), slice(1, None, 2)),
    ("-1", -1), (" 7 ", 7), ("10:20:2", slice(10, 20, 2)), (":", slice(None)), ("::-1", slice(None, None, -1)),
])
def test_accepted_forms(index, expected):
    assert _index(index) == expected


@pytest.mark.parametrize("index, name", [([0, 5], "list"), ((0, 5), "tuple"), (1.0, "float"), (None, "NoneType"),
                                         (b"1", "bytes")])
def test_other_types_name_the_accepted_forms(tmp_path, index, name):
    path = tmp_path / "one.xyz"
    path.write_text("1\n\nH 0 0 0\n")
    for call in (lambda: atomkit.read(str(path), index), lambda: atomkit.iread(str(path), index)):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == ("frame index must be an int, a slice, or a str like '-1' or "
                                     f"'10:20:2', not {name}")


@pytest.mark.parametrize("text", ["x", "1:2:3:4", "1.5", "0:a", ""])
def test_unparsable_str_stays_a_value_error(text):
    with pytest.raises(ValueError):
        _index(text)
