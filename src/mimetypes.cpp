// filled in by later work
