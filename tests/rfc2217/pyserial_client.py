"""pyserial's rfc2217:// client against our server, for the interoperability tests.

Usage: pyserial_client.py PORT. The server's far end is expected to loop back: bytes come
back, CTS follows RTS, DSR follows DTR. Prints one line per step that passed and "done" at
the end; the first step that fails prints "FAIL <step>: <reason>" and ends with status 1.
pyserial offers no event for modem lines, so line changes are awaited by looking at the
last state the server notified, for at most 20 s.
"""
import sys
import time

import serial


def wait_for(condition, seconds=20.0):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


def main():
    url = 'rfc2217://127.0.0.1:{}'.format(sys.argv[1])
    step = 'open'
    try:
        port = serial.serial_for_url(url, baudrate=19200, bytesize=7, parity='E',
                                     stopbits=2, timeout=20)
        print('open', flush=True)  # pyserial raises RTS and DTR when it opens
        checks = [
            ('cts on', lambda: None, lambda: port.cts),
            ('dsr on', lambda: None, lambda: port.dsr),
            ('cts off', lambda: setattr(port, 'rts', False), lambda: not port.cts),
            ('cts on again', lambda: setattr(port, 'rts', True), lambda: port.cts),
            ('dsr off', lambda: setattr(port, 'dtr', False), lambda: not port.dsr),
        ]
        for step, act, condition in checks:
            act()
            if not wait_for(condition):
                print('FAIL {}: no notification'.format(step), flush=True)
                return 1
            print(step, flush=True)
        step = 'data'
        payload = bytes(range(256)) * 4
        port.write(payload)
        echoed = port.read(len(payload))
        if echoed != payload:
            print('FAIL data: {} of {} bytes back'.format(len(echoed), len(payload)), flush=True)
            return 1
        print('data', flush=True)
        step = 'refused baud rate'
        try:
            port.baudrate = 230400
            print('FAIL {}: accepted'.format(step), flush=True)
            return 1
        except (ValueError, serial.SerialException):
            print(step, flush=True)
        port.close()
    except Exception as error:  # any failure is reported as the step's
        print('FAIL {}: {!r}'.format(step, error), flush=True)
        return 1
    print('done', flush=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
