"""A small interactive device console: the program that the Expect tests,
the README and examples/expect_console.py drive.

    login: admin
    Password:                      (not echoed)
    Welcome to DC-1, admin.
    DC-1> show version
    ...
    DC-1> exit
    Bye.

Commands at the DC-1> prompt:

    show version      three lines: model, firmware, serial number
    show interfaces   a header and one line per port
    token             a one-time token, new for each session
    unlock TOKEN      "Unlocked." for the token of this session, else an error
    hang              stops answering (the program never prints again)
    crash             dies at once, exit status 70, without a word
    exit              "Bye.", exit status 0

Anything else gives "% Unknown command: WORD".  Three wrong passwords end
the program with exit status 1.
"""
import os
import secrets
import sys
import termios
import time

USERS = {"admin": "hunter2"}
PROMPT = "DC-1> "
VERSION = ["Model: DC-1", "Firmware: 2.4.1", "Serial: TV-0042"]
INTERFACES = [
    "Port  Link  Speed",
    "eth0  up    1000",
    "eth1  down  -",
    "eth2  up    100",
]


def say(text="", end="\n"):
    sys.stdout.write(text + end)
    sys.stdout.flush()


def ask(prompt):
    say(prompt, end="")
    line = sys.stdin.readline()
    if not line:
        sys.exit(0)
    return line.strip()


def ask_hidden(prompt):
    """Reads a line with the terminal's echo off, as a password prompt does."""
    if not sys.stdin.isatty():
        return ask(prompt)
    fd = sys.stdin.fileno()
    old = termios.tcgetattr(fd)
    new = termios.tcgetattr(fd)
    new[3] &= ~termios.ECHO
    termios.tcsetattr(fd, termios.TCSAFLUSH, new)
    try:
        return ask(prompt)
    finally:
        termios.tcsetattr(fd, termios.TCSAFLUSH, old)
        say()


def login():
    for _ in range(3):
        user = ask("login: ")
        password = ask_hidden("Password: ")
        if USERS.get(user) == password:
            say(f"Welcome to DC-1, {user}.")
            return
        say("Login incorrect")
    sys.exit(1)


def main():
    say("DC-1 device console")
    login()
    token = secrets.token_hex(4).upper()
    while True:
        words = ask(PROMPT).split()
        if not words:
            continue
        command = " ".join(words[:2]) if words[0] == "show" else words[0]
        if command == "show version":
            for line in VERSION:
                say(line)
        elif command == "show interfaces":
            for line in INTERFACES:
                say(line)
        elif command == "token":
            say(f"Token: {token}")
        elif command == "unlock":
            given = words[1] if len(words) > 1 else ""
            say("Unlocked." if given == token else "% Wrong token")
        elif command == "hang":
            while True:
                time.sleep(3600)
        elif command == "crash":
            os._exit(70)
        elif command == "exit":
            say("Bye.")
            return
        else:
            say(f"% Unknown command: {words[0]}")


if __name__ == "__main__":
    main()
