"""The plan both front ends follow: rename order and undo, output names, size rules, field formatting."""


import pytest

from quorvane_image_viewer import fields, plan


def folder_of(tmp_path, names, others=()):
    """Files holding their own names, plus others outside the batch; returns the batch's paths."""
    for name in (*names, *others):
        (tmp_path / name).write_text(name)
    return [str(tmp_path / name) for name in names]


def contents(folder):
    return {path.name: path.read_text() for path in folder.iterdir()}


@pytest.mark.parametrize("names, others, pattern, start, problems, after", [
    # A chain: a_2 leaves first, then a_1 takes its name.
    (["a_1.jpg", "a_2.jpg"], [], "a_#", 2, [None, None], {"a_2.jpg": "a_1.jpg", "a_3.jpg": "a_2.jpg"}),
    # A swap goes through a free hidden name.
    (["a_2.jpg", "a_1.jpg"], [], "a_#", 1, [None, None], {"a_1.jpg": "a_2.jpg", "a_2.jpg": "a_1.jpg"}),
    # One name for two files goes to neither.
    (["a.jpg", "b.jpg"], [], "x", 1, ["another file would get the same name"] * 2,
     {"a.jpg": "a.jpg", "b.jpg": "b.jpg"}),
    # A file outside the batch keeps its name, and a file waiting for a blocked one is blocked too.
    (["a_1.jpg", "a_2.jpg"], ["a_3.jpg"], "a_#", 2, ["a file of this name exists"] * 2,
     {"a_1.jpg": "a_1.jpg", "a_2.jpg": "a_2.jpg", "a_3.jpg": "a_3.jpg"}),
    # A name with a folder part is refused rather than cut short.
    (["a.jpg"], [], "sub/b", 1, ["not a usable name"], {"a.jpg": "a.jpg"}),
])
def test_rename_plan(lib, tmp_path, names, others, pattern, start, problems, after):
    renames = plan.RenamePlan(folder_of(tmp_path, names, others), pattern, start)
    assert [row.problem for row in renames.rows] == problems
    renames.perform()
    assert contents(tmp_path) == after


def test_a_dangling_link_at_a_new_name_is_free_and_replaced(lib, tmp_path):
    (tmp_path / "x.jpg").symlink_to(tmp_path / "gone.jpg")
    renames = plan.RenamePlan(folder_of(tmp_path, ["a.jpg"]), "x")
    assert renames.rows[0].problem is None and renames.perform() == [str(tmp_path / "x.jpg")]
    assert contents(tmp_path) == {"x.jpg": "a.jpg"}


def test_a_failed_step_undoes_the_steps_before_it(lib, tmp_path):
    renames = plan.RenamePlan(folder_of(tmp_path, ["a_3.jpg", "a_2.jpg", "a_1.jpg"]), "a_#")
    assert len(renames.steps) == 3  # park a_3, a_1 -> a_3, parked -> a_1
    calls = []

    def rename(path, new):
        calls.append(new)
        if len(calls) == 3:
            raise PermissionError(13, "Permission denied")
        return lib.rename_file(path, new)

    with pytest.raises(plan.RenameStopped) as stopped:
        renames.perform(rename)
    assert stopped.value.undone and isinstance(stopped.value.error, PermissionError)
    assert contents(tmp_path) == {name: name for name in ("a_1.jpg", "a_2.jpg", "a_3.jpg")}


@pytest.mark.parametrize("policy", ["rename", "skip", "overwrite"])
@pytest.mark.parametrize("occupant", [None, "file", "dangling link", "link to the source"])
def test_destination_names_as_the_library_does(lib, tmp_path, policy, occupant):
    source, output = tmp_path / "a.jpg", tmp_path / "a.png"
    source.write_bytes(b"")
    if occupant == "file":
        folder_of(tmp_path, ["a.png", "a_1.png"])
    elif occupant:
        output.symlink_to(tmp_path / "gone.png" if occupant == "dangling link" else source)

    def outcome(name, taken):
        try:
            return name(source, None, ".png", policy)
        except taken as error:
            return f"taken: {error}"

    assert outcome(plan.destination, plan.Taken) == outcome(lib._destination, FileExistsError)


@pytest.mark.parametrize("basis, value, size, small", [
    ("percent", 100, None, True), ("percent", 99, None, False), ("long", 400, None, True), ("long", 399, None, False),
    ("short", 300, None, True), ("height", 299, None, False), ("resolution", 0, (400, 300), True),
    ("resolution", 0, (800, 200), False)])
def test_small_enough_for_a_400_by_300_image(basis, value, size, small):
    assert plan.small_enough(400, 300, basis, value, size) is small


@pytest.mark.parametrize("exif, rows", [
    ({"make": "Canon", "model": "Canon EOS 40D", "exposure": "0.00625", "focal": "24.0", "iso": "(100, 0)"},
     [("Camera", "Canon EOS 40D"), ("Exposure", "1/160 s"), ("ISO", "100"), ("Focal length", "24 mm")]),
    ({"make": "NIKON CORPORATION", "model": "NIKON D750", "exposure": "0.013333333333333334", "focal": "4.2"},
     [("Camera", "NIKON D750"), ("Exposure", "1/75 s"), ("Focal length", "4.2 mm")]),
    ({"make": "Demo Co", "model": "D1", "exposure": "2.5", "fnumber": "2.8", "lens": "EF 24mm", "latitude": "-33.8688",
      "longitude": "151.2093", "datetime": "2008:05:30 11:00:00", "taken": "2008:05:29 10:00:00"},
     [("Date taken", "2008-05-29 10:00:00"), ("Camera", "Demo Co D1"), ("Lens", "EF 24mm"), ("Aperture", "f/2.8"),
      ("Exposure", "2.5 s"), ("Position", "33.86880° S, 151.20930° E")]),
])
def test_camera_fields_read_as_people_say_them(exif, rows):
    assert fields.camera_fields(exif) == rows
