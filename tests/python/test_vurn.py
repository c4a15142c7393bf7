"""The Python package against the vurn binary: containers written by one read by the other."""
import io
import os
import subprocess

import pytest

import vurn

VURN = os.environ.get("VURN_BINARY", "vurn")
DIGITS = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"


def run(args, cwd, data):
    done = subprocess.run([VURN] + args, cwd=cwd, input=data, capture_output=True, check=True)
    return done.stdout


def padded(data, chunk_bits):
    chunk = chunk_bits // 8
    return data + bytes(-len(data) % chunk)


@pytest.mark.parametrize("chunk_bits", [128, 256])
@pytest.mark.parametrize("size", [0, 1, 33, (1 << 20) + 1])
def test_round_trips_against_the_binary(tmp_path, chunk_bits, size):
    os.chdir(tmp_path)
    (tmp_path / "my.key").write_text(DIGITS)
    key = vurn.Key.from_file("my.key")
    data = os.urandom(size)
    with vurn.open("py.vurn", "wb", key=key, chunk_bits=chunk_bits) as f:
        for start in range(0, size, 100000):
            f.write(memoryview(data)[start:start + 100000])
    made = run(["-e", "-c", "-k", "my.key", "-b", str(chunk_bits)], tmp_path, data)
    assert (tmp_path / "py.vurn").read_bytes() == made == vurn.encrypt(data, key, None, chunk_bits)
    assert run(["-d", "-c"], tmp_path, made) == padded(data, chunk_bits)
    assert vurn.read_header("py.vurn") == vurn.Header("my.key", chunk_bits)

    asked = []

    def keys(name):
        asked.append(name)
        return vurn.Key.from_file(tmp_path / name)

    with open("py.vurn", "rb") as raw:
        with vurn.open(raw, "rb", keys=keys) as f:
            assert f.read(7) + f.read() == padded(data, chunk_bits)
        assert not raw.closed and asked == ["my.key"]
    assert vurn.decrypt(made, keys=keys) == vurn.decrypt(made, key=key) == padded(data, chunk_bits)


def test_file_interface_and_errors(tmp_path):
    key = vurn.Key.from_hex(DIGITS.lower())
    lines = b"one\ntwo\nthree\n" + bytes(18)  # three lines and the last chunk's zero fill
    blob = vurn.encrypt(lines, key, key_name="k")
    with vurn.open(io.BytesIO(blob), "rb", key=key) as f:
        assert isinstance(f, io.BufferedIOBase) and f.readable() and not f.writable()
        assert f.readline() == b"one\n" and list(f) == [b"two\n", b"three\n", bytes(18)]
    assert f.closed
    # A name with blanks, as older versions stored it, reads with key=.
    old = b"my k" + blob[1:]
    assert vurn.decrypt(old, key=key) == lines
    with pytest.raises(vurn.HeaderError, match="header"):
        vurn.decrypt(old, keys=lambda name: key)
    with pytest.raises(vurn.TruncatedError, match="truncated"):
        vurn.decrypt(blob[:-1], key=key)
    with vurn.open(io.BytesIO(blob[:-1]), "rb", key=key) as f, pytest.raises(vurn.TruncatedError):
        f.read()
    with pytest.raises(vurn.KeyNameError):
        vurn.encrypt(b"", key)  # a key from digits has no path to store
    with pytest.raises(vurn.ChunkSizeError):
        vurn.encrypt(b"", key, "k", chunk_bits=192)
    for digits in [DIGITS[:31], "G" + DIGITS[1:], ""]:
        with pytest.raises(vurn.InvalidKeyError):
            vurn.Key.from_hex(digits)
    (tmp_path / "taken").write_bytes(b"kept")
    with pytest.raises(vurn.KeyNameError):
        vurn.open(tmp_path / "taken", "wb", key=key)  # refused before the file is opened
    with pytest.raises(FileExistsError):
        vurn.open(tmp_path / "taken", "xb", key=key, key_name="k")
    with vurn.open(tmp_path / "new", "xb", key=key, key_name="k") as f:
        f.write(lines)
    assert (tmp_path / "new").read_bytes() == blob and (tmp_path / "taken").read_bytes() == b"kept"
