"""Small utilities shared by the tarvo framework."""
import datetime

# The current local date and time, microseconds included.  Bound directly to
# datetime.now (not wrapped in a function of our own) because it runs once for
# every recorded Tcl command.
get_time = datetime.datetime.now

# How many characters of one text a report shows: a history entry, or a Tcl
# error trace, may be megabytes long.
SHOWN_CHARACTERS = 2000


def shown(text: str, limit: int = SHOWN_CHARACTERS) -> str:
    """`text` as a report shows it: cut after `limit` characters, with the
    number of characters left out; a character that UTF-8 cannot write (a
    lone surrogate) written as its escape, so that the rest stays as it is."""
    if len(text) > limit:
        left_out = len(text) - limit
        text = f"{text[:limit]}... [{left_out:,} more character{'s' if left_out > 1 else ''}]"
    return text.encode("utf-8", "backslashreplace").decode("utf-8")
