"""The differential fuzzer: larkspan's handles against builtin open()'s files (see __main__)."""
