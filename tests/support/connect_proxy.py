#!/usr/bin/env python3
"""An HTTP proxy on 127.0.0.1 that carries HTTPS as corporate proxies do, by CONNECT tunnels only.

usage: connect_proxy.py DESTINATION_PORT [refuse]

Every tunnel leads to 127.0.0.1:DESTINATION_PORT whatever host was asked for, so the deployment
hosts reach a test server without address overrides (which bypass proxies). With "refuse", every
CONNECT is answered with 403 Forbidden instead. Prints its own port, then the target of each
CONNECT ("host:port"), one line each, before answering it."""
import select, socket, sys, threading


def serve(client, destination, refuse):
    with client:
        head = b""
        while not head.endswith(b"\r\n\r\n"):  # byte by byte: nothing of the tunnel is read with it
            byte = client.recv(1)
            if not byte:
                return
            head += byte
        print(head.split()[1].decode(), flush=True)
        if refuse:
            client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
            return
        with socket.create_connection(("127.0.0.1", destination)) as upstream:
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            other = {client: upstream, upstream: client}
            while True:
                for end in select.select(list(other), [], [])[0]:
                    data = end.recv(65536)
                    if not data:
                        return
                    other[end].sendall(data)


listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
while True:
    connection, _ = listener.accept()
    arguments = (connection, int(sys.argv[1]), sys.argv[2:] == ["refuse"])
    threading.Thread(target=serve, args=arguments, daemon=True).start()
