// Linked into the setup stub only, ahead of the C++ runtime, so that the
// runtime's own definitions of these functions are never pulled in.
//
// The stub has to fit below the 210000-byte scan start. The MinGW linker keeps
// every function of an object file whose unwind tables it keeps, so one
// library object drags in its whole file: the default terminate handler
// brings the demangler (about 45 KB), and the runtime's std::__throw_*
// helpers bring std::logic_error's copy-on-write string and, through it,
// std::random_device and the string instantiations (about 80 KB).
//
// What stays the same: every failure is still a std::exception with the
// runtime's message (formatted messages keep their unformatted text), so the
// program's one handler reports it as before; allocation failures are still
// std::bad_alloc. Nothing in the program catches the std::logic_error or
// std::runtime_error families by type.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace {

class RuntimeFailure final : public std::exception {
public:
    explicit RuntimeFailure(const char* message) : message_(message) {}
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;  // the runtime passes string literals
};

[[noreturn]] void Fail(const char* message) { throw RuntimeFailure(message); }

}  // namespace

namespace __gnu_cxx {
// The default handler demangles the exception's type name for stderr, which
// a windowed program does not have anyway.
void __verbose_terminate_handler() {
    std::fputs("terminate called\n", stderr);
    std::abort();
}
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_bad_exception() { throw bad_exception(); }
void __throw_logic_error(const char* message) { Fail(message); }
void __throw_domain_error(const char* message) { Fail(message); }
void __throw_invalid_argument(const char* message) { Fail(message); }
void __throw_length_error(const char* message) { Fail(message); }
void __throw_out_of_range(const char* message) { Fail(message); }
void __throw_out_of_range_fmt(const char* format, ...) { Fail(format); }
void __throw_runtime_error(const char* message) { Fail(message); }
void __throw_range_error(const char* message) { Fail(message); }
void __throw_overflow_error(const char* message) { Fail(message); }
void __throw_underflow_error(const char* message) { Fail(message); }
}  // namespace std
