// A small dynamic library for the library tests: one exported function with a known answer.
extern "C" int KestrelTestAnswer(int question) {
    return question + 42;
}
