#!/usr/bin/env python3
"""A stand-in for sysaudio in the clients' tests: carries out the steps that $FAKE_STEPS lists
(JSON: [["stderr", text], ["stdout", hex bytes], ["sleep", seconds], ["exit", status], ...]) and
writes its pid to $FAKE_PID_FILE first."""

import json
import os
import signal
import time

# As sysaudio has it, unlike a Python program.
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
with open(os.environ["FAKE_PID_FILE"], "w") as file:
    file.write(str(os.getpid()))
for step, *arguments in json.loads(os.environ["FAKE_STEPS"]):
    if step == "stderr":
        os.write(2, arguments[0].encode())
    elif step == "stdout":
        os.write(1, bytes.fromhex(arguments[0]))
    elif step == "sleep":
        time.sleep(arguments[0])
    elif step == "exit":
        os._exit(arguments[0])
    elif step == "signal":
        os.kill(os.getpid(), arguments[0])
        time.sleep(10)
    elif step == "ignore_sigpipe":
        signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    elif step == "close_stdout":
        os.close(1)
    elif step == "hang":
        time.sleep(600)
    elif step == "silence_until_broken_pipe":
        # What sysaudio does with nothing playing: it ends when its output breaks, by SIGPIPE
        # unless that is ignored, else with status 0.
        while True:
            try:
                os.write(1, bytes(160))
            except BrokenPipeError:
                os._exit(0)
            time.sleep(0.01)
    elif step == "silence_ignoring_broken_pipe":
        while True:
            try:
                os.write(1, bytes(160))
            except BrokenPipeError:
                pass
            time.sleep(0.01)
