"""The call history as interpreted Python, following the same rules as
tarvo.tcl.history: the baseline the C++ module is measured against."""
import logging
import re
from collections import deque

from tarvo.utils.utils import get_time

logger = logging.getLogger("tarvo.tcl")


class Entry(object):
    def __init__(self, api):
        if not isinstance(api, str):
            api = " ".join("{%s}" % word if " " in word else word for word in api)
        self.timestamp = get_time()
        self.api = api


class History(object):
    __MAX_HISTORY__ = 9999

    def __init__(self, max_history=__MAX_HISTORY__):
        self.__dict__["__history__"] = deque(maxlen=max_history)
        self.__dict__["__markers__"] = {}
        self.__dict__["__activeMarkers__"] = []
        self.enable()

    def enable(self):
        self.enabled = True
        logger.debug("TclHistory is enabled.")

    def append(self, item):
        logger.debug("%% %s", item)
        if not self.enabled:
            return
        entry = Entry(item)
        self.__dict__["__history__"].append(entry)
        for name in self.__dict__["__activeMarkers__"]:
            self.__dict__["__markers__"][name].append(entry)

    def filter(self, marker=None, count=20, regex=None):
        source = self.__dict__["__history__"] if marker is None else self.__dict__["__markers__"][marker]
        selected = list(source)[-count:]
        if regex:
            pattern = re.compile(regex)
            selected = [entry for entry in selected if pattern.search(entry.api)]
        return selected
