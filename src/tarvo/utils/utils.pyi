import datetime

# datetime.datetime.now itself: the current local date and time, microseconds
# included.
get_time = datetime.datetime.now

SHOWN_CHARACTERS: int

def shown(text: str, limit: int = 2000) -> str:
    """`text` as a report shows it: cut after `limit` characters, with the
    number of characters left out; a character that UTF-8 cannot write (a
    lone surrogate) written as its escape, so that the rest stays as it is."""
