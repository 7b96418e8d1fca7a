"""What a call on a closed file says, in builtin's words."""

CLOSED = "I/O operation on closed file."  # what the engine and builtin's operations say
# What builtin's queries of a closed file say (fileno(), readable()), without the stop.
CLOSED_FILE = "I/O operation on closed file"
