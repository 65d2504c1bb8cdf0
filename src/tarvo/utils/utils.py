"""Small utilities shared by the tarvo framework."""
import datetime

# The current local date and time, microseconds included.  Bound directly to
# datetime.now (not wrapped in a function of our own) because it runs once for
# every recorded Tcl command.
get_time = datetime.datetime.now
