from _larkspan_core import AsyncFile


def test_write_seek_read_roundtrip(make_file):
    with AsyncFile(make_file(), "w+b").open() as f:
        assert f.write(b"hello") == 5
        assert f.seek(0) == 0
        assert f.read() == b"hello"
