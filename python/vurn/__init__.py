"""Reading and writing vurn containers from Python.

    key = vurn.Key.from_file("my.key")
    with vurn.open("notes.vurn", "wb", key=key) as f:   # stores the name "my.key"
        f.write(b"...")
    with vurn.open("notes.vurn", "rb", key=key) as f:
        data = f.read()

A thin layer over libvurn's C interface (<vurn/container.h>) through the standard library's
ctypes: no build step, and it runs on any Python 3.9 or later. ctypes releases the global
interpreter lock during every call into the library, so other threads run while a large piece is
encrypted or decrypted.
"""

import builtins
import ctypes
import io
import os
from typing import Callable, NamedTuple, Optional, Union

__all__ = ["Key", "Header", "open", "encrypt", "decrypt", "read_header", "Error",
           "ArgumentError", "InvalidKeyError", "KeyNameError", "ChunkSizeError", "HeaderError",
           "TruncatedError", "StateError", "OutOfMemoryError"]

_OK, _DONE, _NEED_KEY = 0, 1, 2
_PIECE = 1 << 20  # bytes read from or written to the underlying file at a time
_HEADER_MAX = 4096 + 9  # the longest key name, the separator and the chunk-size field


class _In(ctypes.Structure):
    _fields_ = [("src", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


class _Out(ctypes.Structure):
    _fields_ = [("dst", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


def _load_library():
    """The build tree's libvurn when this package runs from it, else the installed one."""
    try:
        from . import _library
        path = _library.PATH
    except ImportError:
        path = None
    lib = ctypes.CDLL(path if path and os.path.exists(path) else "libvurn.so.2")
    p, size = ctypes.c_void_p, ctypes.c_size_t
    signatures = {
        "vurn_writer_new": [ctypes.POINTER(p), ctypes.c_char_p, size, ctypes.c_char_p, size,
                            ctypes.c_int],
        "vurn_writer_push": [p, ctypes.POINTER(_In), ctypes.POINTER(_Out), ctypes.c_int],
        "vurn_writer_free": [p],
        "vurn_reader_new": [ctypes.POINTER(p)],
        "vurn_reader_set_key": [p, ctypes.c_char_p, size],
        "vurn_reader_pull": [p, ctypes.POINTER(_In), ctypes.POINTER(_Out), ctypes.c_int],
        "vurn_reader_header": [p, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(size),
                               ctypes.POINTER(ctypes.c_int)],
        "vurn_reader_free": [p],
        "vurn_status_text": [ctypes.c_int],
    }
    for name, arguments in signatures.items():
        function = getattr(lib, name)
        function.argtypes = arguments
        function.restype = None if name.endswith("_free") else ctypes.c_int
    lib.vurn_status_text.restype = ctypes.c_char_p
    return lib


_lib = _load_library()


class Error(Exception):
    """A status of libvurn; `status` is its number, the message its text."""

    status = None

    def __init__(self, status: int):
        self.status = status
        super().__init__(_lib.vurn_status_text(status).decode())


class ArgumentError(Error, ValueError):
    pass


class InvalidKeyError(Error, ValueError):
    pass


class KeyNameError(Error, ValueError):
    pass


class ChunkSizeError(Error, ValueError):
    pass


class HeaderError(Error):
    pass


class TruncatedError(Error):
    pass


class StateError(Error):
    pass


class OutOfMemoryError(Error, MemoryError):
    pass


_ERRORS = {-1: ArgumentError, -2: InvalidKeyError, -3: KeyNameError, -4: ChunkSizeError,
           -5: HeaderError, -6: TruncatedError, -7: StateError, -8: OutOfMemoryError}


def _check(status: int) -> int:
    if status < 0:
        raise _ERRORS.get(status, Error)(status)
    return status


class Key:
    """A key: 32, 48 or 64 hexadecimal digits, as a key file holds them."""

    __slots__ = ("_digits", "path")

    def __init__(self, digits: bytes, path: Optional[str] = None):
        if len(digits) not in (32, 48, 64) or \
                not all(c in b"0123456789abcdefABCDEF" for c in digits):
            raise InvalidKeyError(-2)
        self._digits = bytes(digits)
        self.path = path  # the key file's path as given, stored as the key name when writing

    @classmethod
    def from_hex(cls, digits: Union[str, bytes]) -> "Key":
        return cls(digits.encode("ascii", "replace") if isinstance(digits, str) else digits)

    @classmethod
    def from_file(cls, path: Union[str, bytes, os.PathLike]) -> "Key":
        with builtins.open(path, "rb") as f:
            digits = f.read(65)
        return cls(digits, os.fsdecode(path))

    def __repr__(self):
        return "vurn.Key(path=%r)" % (self.path,)


class Header(NamedTuple):
    key_name: str
    chunk_bits: int


def _address(buffer, offset: int = 0) -> int:
    """The address of a writable buffer's byte `offset`."""
    view = memoryview(buffer).cast("B")
    return ctypes.addressof(ctypes.c_char.from_buffer(view, offset)) if len(view) > offset else 0


class _Input:
    """Bytes to hand to libvurn without copying them when ctypes can point at them."""

    def __init__(self, data):
        if isinstance(data, bytes):
            self.keep = data
            self.address = ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value or 0
            self.size = len(data)
            return
        view = memoryview(data).cast("B")
        if view.readonly:
            view = memoryview(bytearray(view))
        self.keep = view
        self.size = len(view)
        self.address = _address(view) if self.size else 0


class _Reader:
    """A libvurn reader and how it gets its key."""

    def __init__(self, key: Optional[Key], keys: Optional[Callable[[str], Key]]):
        if key is not None and keys is not None:
            raise TypeError("give key= or keys=, not both")
        handle = ctypes.c_void_p()
        _check(_lib.vurn_reader_new(ctypes.byref(handle)))
        self.handle = handle
        self.keys = keys
        if key is not None:
            self.set_key(key)

    def set_key(self, key: Key):
        _check(_lib.vurn_reader_set_key(self.handle, key._digits, len(key._digits)))

    def header(self) -> Header:
        name, length, bits = ctypes.c_char_p(), ctypes.c_size_t(), ctypes.c_int()
        _check(_lib.vurn_reader_header(self.handle, ctypes.byref(name), ctypes.byref(length),
                                       ctypes.byref(bits)))
        return Header(os.fsdecode(ctypes.string_at(name, length.value)), bits.value)

    def pull(self, source: _In, target: _Out, finish: bool) -> int:
        status = _check(_lib.vurn_reader_pull(self.handle, source, target, int(finish)))
        if status == _NEED_KEY and self.keys is not None:
            self.set_key(self.keys(self.header().key_name))
            status = _check(_lib.vurn_reader_pull(self.handle, source, target, int(finish)))
        return status

    def free(self):
        if self.handle:
            _lib.vurn_reader_free(self.handle)
            self.handle = ctypes.c_void_p()


def _new_writer(key: Key, key_name, chunk_bits: int) -> ctypes.c_void_p:
    name = key_name if key_name is not None else key.path
    name = os.fsencode(name) if name is not None else b""
    handle = ctypes.c_void_p()
    _check(_lib.vurn_writer_new(ctypes.byref(handle), key._digits, len(key._digits), name,
                                len(name), chunk_bits))
    return handle


class VurnFile(io.BufferedIOBase):
    """A container opened with vurn.open: plaintext read from it or written to it."""

    def __init__(self, file, mode: str, key, keys, key_name, chunk_bits):
        self._writer = self._reader = self._file = None
        self._owns_file = False
        if mode not in ("rb", "wb", "xb"):
            raise ValueError("mode must be 'rb', 'wb' or 'xb', not %r" % (mode,))
        if mode != "rb" and key is None:
            raise TypeError("writing needs key=")
        if mode == "rb" and key is None and keys is None:
            raise TypeError("reading needs key= or keys=")
        self._mode = mode
        # The engine first: a refused key or name leaves an existing file as it was.
        if mode == "rb":
            self._reader = _Reader(key, keys)
            self._raw = bytearray(_PIECE)
            self._raw_size = self._raw_pos = 0
            self._input_ended = False
            self._ended = False
            self._pending = b""  # plaintext decrypted beyond what a peek asked for
            self._scratch = bytearray(_PIECE)
        else:
            self._writer = _new_writer(key, key_name, chunk_bits)
            self._out = bytearray(_PIECE + _HEADER_MAX)
        try:
            if isinstance(file, (str, bytes, os.PathLike)):
                self._file = builtins.open(file, mode, buffering=0)
                self._owns_file = True
            else:
                self._file = file
        except BaseException:
            self._free()
            raise

    # What io.BufferedIOBase asks for.
    def readable(self):
        self._check_open()
        return self._mode == "rb"

    def writable(self):
        self._check_open()
        return self._mode != "rb"

    def _check_open(self):
        if self.closed:
            raise ValueError("I/O operation on closed file")

    def _check_mode(self, reading: bool):
        self._check_open()
        if (self._mode == "rb") != reading:
            raise io.UnsupportedOperation("not readable" if reading else "not writable")

    # Reading.
    def _decrypt_into(self, view: memoryview) -> int:
        """Decrypts into view; 0 only at the end of the container."""
        target = _Out(_address(view), len(view), 0)
        while not self._ended:
            if self._raw_pos == self._raw_size and not self._input_ended:
                got = self._file.readinto(self._raw)
                if got is None:
                    raise BlockingIOError("the underlying file has no data ready")
                self._raw_size, self._raw_pos = got, 0
                self._input_ended = got == 0
            source = _In(_address(self._raw), self._raw_size, self._raw_pos)
            status = self._reader.pull(source, target, self._input_ended)
            if status == _NEED_KEY:
                raise StateError(-7)
            self._raw_pos = source.pos
            self._ended = status == _DONE
            if target.pos:
                break
        return target.pos

    def readinto(self, buffer) -> int:
        self._check_mode(True)
        view = memoryview(buffer).cast("B")
        done = min(len(self._pending), len(view))
        view[:done] = self._pending[:done]
        self._pending = self._pending[done:]
        while done < len(view):
            got = self._decrypt_into(view[done:])
            if got == 0:
                break
            done += got
        return done

    def readinto1(self, buffer) -> int:
        return self.readinto(buffer)

    def read(self, size: Optional[int] = -1) -> bytes:
        self._check_mode(True)
        if size is None or size < 0:
            pieces = []
            while True:
                piece = self.read(_PIECE)
                if not piece:
                    return b"".join(pieces)
                pieces.append(piece)
        # Decrypted into a buffer kept from call to call: a fresh one for every piece would cost
        # more than the decryption itself (its pages are new to the process each time).
        if len(self._scratch) < size:
            self._scratch = bytearray(size)
        view = memoryview(self._scratch)
        with view[:size] as piece:
            got = self.readinto(piece)
        return bytes(view[:got])

    def read1(self, size: int = -1) -> bytes:
        return self.read(_PIECE if size is None or size < 0 else size)

    def peek(self, size: int = 0) -> bytes:
        self._check_mode(True)
        if not self._pending:
            self._pending = self.read(max(size, 4096))
        return self._pending

    # Writing.
    def _push(self, data: _Input, finish: bool):
        out = self._out
        source = _In(data.address, data.size, 0)
        while True:
            target = _Out(_address(out), len(out), 0)
            status = _check(_lib.vurn_writer_push(self._writer, source, target, int(finish)))
            view = memoryview(out)[:target.pos]
            while view:
                written = self._file.write(view)
                if written is None:
                    raise BlockingIOError("the underlying file takes no data now")
                view = view[written:]
            if status == _DONE or (not finish and source.pos == source.size):
                return

    def write(self, data) -> int:
        self._check_mode(False)
        source = _Input(data)
        self._push(source, False)
        return source.size

    def close(self):
        if self.closed:
            return
        try:
            if self._writer:
                self._push(_Input(b""), True)
                self._file.flush()
        finally:
            try:
                if self._owns_file:
                    self._file.close()
            finally:
                self._free()
                super().close()

    def _free(self):
        if self._writer:
            _lib.vurn_writer_free(self._writer)
            self._writer = None
        if self._reader:
            self._reader.free()


def open(file, mode: str = "rb", *, key: Optional[Key] = None,
         keys: Optional[Callable[[str], Key]] = None, key_name: Optional[str] = None,
         chunk_bits: int = 256) -> VurnFile:
    """Opens a container at a path or over a binary file object (left open by close).

    "rb" decrypts with key= (set before the header: containers made under key names holding
    blanks read too) or with keys=, called with the stored key name to give its key. "wb" and
    "xb" (FileExistsError on an existing path) encrypt with key= and store key_name, else the
    key's path; chunk_bits is 128 or 256. Decrypted data ends with the zero bytes that filled
    the last chunk.
    """
    return VurnFile(file, mode, key, keys, key_name, chunk_bits)


def encrypt(data, key: Key, key_name: Optional[str] = None, chunk_bits: int = 256) -> bytes:
    """The container of data, as `vurn -e -c -b chunk_bits` writes it."""
    writer = _new_writer(key, key_name, chunk_bits)
    try:
        source = _Input(data)
        out = bytearray(_HEADER_MAX + source.size + 32)
        target = _Out(_address(out), len(out), 0)
        status = _check(_lib.vurn_writer_push(writer, _In(source.address, source.size, 0),
                                              target, 1))
        if status != _DONE:
            raise StateError(-7)
        return bytes(memoryview(out)[:target.pos])
    finally:
        _lib.vurn_writer_free(writer)


def decrypt(blob, key: Optional[Key] = None,
            keys: Optional[Callable[[str], Key]] = None) -> bytes:
    """The plaintext of a whole container (its last chunk's zero fill included)."""
    if key is None and keys is None:
        raise TypeError("decrypt needs key= or keys=")
    reader = _Reader(key, keys)
    try:
        source = _Input(blob)
        out = bytearray(max(source.size, 1))
        target = _Out(_address(out), len(out), 0)
        status = reader.pull(_In(source.address, source.size, 0), target, True)
        if status != _DONE:
            raise StateError(-7)
        return bytes(memoryview(out)[:target.pos])
    finally:
        reader.free()


def read_header(file) -> Header:
    """The key name and chunk size a container's header stores, from a path or a binary file
    object (which is read past the header)."""
    if isinstance(file, (str, bytes, os.PathLike)):
        with builtins.open(file, "rb") as f:
            return read_header(f)
    reader = _Reader(None, None)
    try:
        target = _Out(None, 0, 0)
        while True:
            piece = _Input(file.read(4096))
            source = _In(piece.address, piece.size, 0)
            if reader.pull(source, target, piece.size == 0) == _NEED_KEY:
                return reader.header()
    finally:
        reader.free()
