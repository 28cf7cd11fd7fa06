"""An RFC 2217 server built on pyserial's PortManager, for the interoperability tests.

Serves one client on 127.0.0.1 (a free port, printed first as "PORT <n>") in front of a
serial port looped back on itself: bytes written to it come back, CTS follows RTS and DSR
follows DTR. PortManager needs an object with the Serial API; pyserial's loop:// port has
no modem lines, so LoopbackPort provides the few attributes PortManager uses.

Every change the client makes is printed as one line ("baudrate 19200", "rts 1",
"purge in"), so that the test can follow it. Baud rates above 115200 are refused, as a
real port would refuse them. Ends with status 0 when the client leaves, 2 when none comes
within a minute.
"""
import socket
import sys

import serial.rfc2217 as rfc2217


def report(*words):
    print(*words, flush=True)


class LoopbackPort:
    """What PortManager uses of a Serial object, on a port looped back on itself."""

    def __init__(self):
        self._values = dict(baudrate=9600, bytesize=8, parity='N', stopbits=1,
                            xonxoff=False, rtscts=False, break_condition=False,
                            rts=False, dtr=False)

    def __getattr__(self, name):
        values = self.__dict__.get('_values', {})
        if name in values:
            return values[name]
        raise AttributeError(name)

    def __setattr__(self, name, value):
        if name == '_values':
            object.__setattr__(self, name, value)
            return
        if name == 'baudrate' and value > 115200:
            raise ValueError('baud rate {} not supported'.format(value))
        self._values[name] = value
        shown = int(value) if isinstance(value, bool) else value
        report(name, shown)

    # The lines the far end drives, here looped back.
    cts = property(lambda self: self._values['rts'])
    dsr = property(lambda self: self._values['dtr'])
    ri = property(lambda self: False)
    cd = property(lambda self: False)

    def reset_input_buffer(self):
        report('purge', 'in')

    def reset_output_buffer(self):
        report('purge', 'out')


class Connection:
    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(('127.0.0.1', 0))
    listener.listen(1)
    listener.settimeout(60)
    report('PORT', listener.getsockname()[1])
    try:
        sock, _ = listener.accept()
    except socket.timeout:
        return 2
    sock.settimeout(None)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    port = LoopbackPort()
    manager = rfc2217.PortManager(port, Connection(sock))
    while True:
        data = sock.recv(4096)
        if not data:
            break
        received = b''.join(manager.filter(data))
        if received:
            sock.sendall(b''.join(manager.escape(received)))
        manager.check_modem_lines()
    report('closed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
