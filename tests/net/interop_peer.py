#!/usr/bin/env python3
"""An independent peer of the socket data-transfer protocol, written from the wire format alone
(standard library socket and zlib only).

    interop_peer.py send PORT DIR      connect to 127.0.0.1:PORT and send a message, a raw block,
                                       an uncompressed and a compressed file (raw.bin, plain.bin and
                                       packed.bin of DIR)
    interop_peer.py receive PORT DIR   connect and receive the same four transfers, checking every
                                       header byte for byte and every payload against DIR

Exits 0 when everything matched, 1 with a message otherwise.
"""
import socket
import sys
import zlib

TIMEOUT_SECONDS = 30


def frame(text):
    return text.encode("utf-8") + b"\0"


def header(data_type, keys):
    body = "".join("<%s>%s</%s>" % (k, v, k) for k, v in keys)
    return "<root><DataType>%d</DataType>%s</root>" % (data_type, body)


def read_file(directory, name):
    with open("%s/%s" % (directory, name), "rb") as f:
        return f.read()


def expected_transfers(directory):
    """(header text, payload) of each transfer, in the order both directions use."""
    raw = read_file(directory, "raw.bin")
    plain = read_file(directory, "plain.bin")
    packed = read_file(directory, "packed.bin")
    packed_stream = zlib.compress(packed)
    return [
        (header(0, [("cmd", "go")]), b""),
        (header(2, [("kind", "tile"), ("FileSize", len(raw)), ("Compressed", 0)]), raw),
        (header(1, [("FileName", "plain.out"), ("FileSize", len(plain)), ("Compressed", 0)]), plain),
        (header(1, [("FileName", "packed.out"), ("FileSize", len(packed)), ("Compressed", 1),
                    ("CompressedSize", len(packed_stream))]), packed_stream),
    ]


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT_SECONDS)


def receive_exactly(connection, count):
    data = bytearray()
    while len(data) < count:
        piece = connection.recv(min(65536, count - len(data)))
        if not piece:
            raise RuntimeError("connection closed after %d of %d bytes" % (len(data), count))
        data.extend(piece)
    return bytes(data)


def receive_frame(connection):
    data = bytearray()
    while True:
        byte = connection.recv(1)
        if not byte:
            raise RuntimeError("connection closed inside a header")
        if byte == b"\0":
            return data.decode("utf-8")
        data.extend(byte)


def send(port, directory):
    with connect(port) as connection:
        for text, payload in expected_transfers(directory):
            connection.sendall(frame(text) + payload)
        # Wait for the receiver to hang up, so that nothing is cut off.
        connection.recv(1)


def receive(port, directory):
    packed = read_file(directory, "packed.bin")
    failures = []
    with connect(port) as connection:
        for text, payload in expected_transfers(directory):
            got = receive_frame(connection)
            if "CompressedSize" in text:
                # Our zlib and the sender's may pick different encodings: check the layout with the
                # size the sender announced, then the stream by what it inflates to.
                announced = int(got.split("<CompressedSize>")[1].split("<")[0])
                text = text.replace("<CompressedSize>%d<" % len(payload), "<CompressedSize>%d<" % announced)
                stream = receive_exactly(connection, announced)
                if zlib.decompress(stream) != packed:
                    failures.append("the compressed file does not inflate to packed.bin")
            else:
                body = receive_exactly(connection, len(payload))
                if body != payload:
                    failures.append("payload after %s differs" % text)
            if got != text:
                failures.append("header %r, expected %r" % (got, text))
    return failures


def main():
    mode, port, directory = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if mode == "send":
        send(port, directory)
        return 0
    failures = receive(port, directory)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
