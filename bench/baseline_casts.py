"""The guessing cast as interpreted Python, following the same rules as
Interpreter.cast_any: the baseline the C++ method is measured against."""
from tkinter import TclError

import baseline_nestmap
from tarvo.tcl.quoten import quoten


class Casts:
    """The casts of an interpreter `tcl`, written in Python."""

    def __init__(self, tcl):
        self.tcl = tcl

    def cast_int(self, value):
        try:
            return self.tcl.getint(value)
        except TypeError:
            return self.tcl.getint(quoten(value))

    def cast_double(self, value):
        try:
            return self.tcl.getdouble(value)
        except TypeError:
            return self.tcl.getdouble(quoten(value))

    def cast_boolean(self, value):
        self.tcl.tk.call("return", "")  # stands in for resetting the result
        try:
            try:
                return bool(self.tcl.tk.getboolean(value))
            except TypeError:
                return bool(self.tcl.tk.getboolean(quoten(value)))
        except TclError as exc:
            try:
                return self.cast_int(value) != 0
            except ValueError:
                pass
            try:
                return self.cast_double(value) != 0.0
            except ValueError:
                pass
            raise ValueError(exc) from exc

    def cast_any(self, value):
        value_type = type(value)
        if value_type is tuple:
            return tuple(map(quoten, value))
        if value_type in (int, float, bool):
            return value
        value = str(value)
        for cast in (self.cast_int, self.cast_double, self.cast_boolean):
            try:
                return cast(value)
            except (TypeError, ValueError):
                pass
        if value:
            try:
                return baseline_nestmap.NestMap.from_tcl(value)
            except (TypeError, ValueError):
                pass
        return value
