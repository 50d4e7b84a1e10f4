# Each line marked "mistake: CODE" must be reported by mypy --strict with that error code.
import quorvane_image_viewer.library as m

m.thumbnail_bytes("a.jpg", long_edge="256")  # mistake: arg-type
m.resize_files(["a.jpg"], "resolution", 0, [640], 480, None, "rename")  # mistake: arg-type
m.delete_files("a.jpg")  # mistake: arg-type
m.rotate_files(["a.jpg"], 45, False)  # mistake: arg-type
m.make_thumbnail("a.jpg")  # mistake: attr-defined
m.sort_files(m.list_dir("~")["files"], "Size", False)  # mistake: arg-type
m.convert_files(["a.jpg"], "jpeg", 90, None, "rename", False)  # mistake: arg-type
m.convert_files(["a.jpg"], "png", 90, None, "replace", False)  # mistake: arg-type
m.resize_files(["a.jpg"], "pixels", 100, None, None, None, "rename")  # mistake: arg-type
m.is_image("a.jpg")  # mistake: arg-type
m.file_info("a.jpg")["exif"]["shutter"]  # mistake: typeddict-item
m.list_dir("~")["files"][0]["mtime"].upper()  # mistake: attr-defined
count: int = m.home_folder()  # mistake: assignment
m.rename_file("a.jpg")  # mistake: call-arg
