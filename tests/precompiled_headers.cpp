// The translation unit that compiles the tests' shared precompiled headers; it holds nothing else.
