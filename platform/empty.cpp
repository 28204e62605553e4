// The shared library's own translation unit; all its code comes from the static core.
