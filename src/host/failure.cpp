// The failure record and the words for its causes; which system code is which cause, and the
// system's text for the rest, are in failure_posix.cpp and failure_win32.cpp.
#include "host/failure.hpp"

#include "host/failure_os.hpp"

namespace host {

namespace {

thread_local Failure last;

}  // namespace

const Failure& last_failure() {
    return last;
}

void forget_failure() {
    last = Failure{};
}

void note_failure(const char16_t* operation, const Text& path, Cause cause) {
    last = Failure{operation, path, cause, 0};
}

void note_failure(const Failure& failure) {
    last = failure;
}

void note_system_failure(const char16_t* operation, const Text& path, int system_code) {
    last = Failure{operation, path, cause_of_system_code(system_code), system_code};
}

Text failure_words(const Failure& failure) {
    switch (failure.cause) {
        case Cause::none: return {};
        case Cause::not_found: return u"no such file or folder";
        case Cause::no_permission: return u"permission denied";
        case Cause::read_only_disk: return u"the disk is write-protected";
        case Cause::disk_full: return u"the disk is full";
        case Cause::in_use: return u"the file is in use";
        case Cause::is_folder: return u"it is a folder";
        case Cause::not_a_program: return u"it is not a program this system can run";
        case Cause::no_memory: return u"not enough memory";
        case Cause::name_too_long: return u"the name is too long";
        case Cause::disk_error: return u"the disk could not be read or written";
        default: break;
    }
    Text text = system_message(failure.system_code);
    return text.empty() ? u"system error " + decimal_text(failure.system_code) : text;
}

}  // namespace host
