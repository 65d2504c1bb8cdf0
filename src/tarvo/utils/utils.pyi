import datetime

# datetime.datetime.now itself: the current local date and time, microseconds
# included.
get_time = datetime.datetime.now
