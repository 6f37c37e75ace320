// The status record of a connector or a command: the errorCode / errorMessage pair that a host reads
// after a failed operation. The pair stays where hosts see it (the exported classes' members); this
// type binds to it and is the one way to write it, inside the library and in hosts built here.
//
// Every failure writes a non-zero code or a non-empty message, so a record cleared beforehand tells
// whether an operation wrote it:
//
//   qar::StatusRecord record(command->errorCode, command->errorMessage);
//   const qar::StatusRecord::Watch watch(record);  // sets the record aside and clears it
//   const int result = command->OpenFile(path);
//   if (watch.Written()) Report(record.Code(), record.Message());  // this call's own failure
//   // when `watch` ends, a call that wrote nothing gets the earlier record back
//
// Header-only, so a host compiled with the library's compiler may use it too.
#pragma once

#include <string>
#include <utility>

namespace qar {

class StatusRecord {
public:
    StatusRecord(int& code, std::wstring& message) noexcept : code_(code), message_(message) {}

    // Records a failure in one step: the caller makes the message first, then code and message are
    // set together, so that no exception can leave the record half-written. Returns `code`.
    //   return record.Fail(-1, LoadLocalizedString(IDS_OPEN_FAILED));
    int Fail(int code, std::wstring message) noexcept {
        message_.swap(message);
        code_ = code;
        return code;
    }

    int Code() const noexcept { return code_; }
    const std::wstring& Message() const noexcept { return message_; }
    bool Empty() const noexcept { return code_ == 0 && message_.empty(); }

    // Sets the record aside and clears it for the duration of a call (below).
    class Watch;

private:
    int& code_;
    std::wstring& message_;
};

// Sets the record aside and clears it for the duration of a call, so that afterwards the record
// shows whether the call wrote it; a call that wrote nothing gets the earlier record back when the
// watch ends (a success does not clear a record). Watches of one record nest.
class StatusRecord::Watch {
public:
    explicit Watch(StatusRecord record) noexcept
        : record_(record),
          earlierCode_(std::exchange(record.code_, 0)),
          earlier_(std::move(record.message_)) {
        record_.message_.clear();
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    ~Watch() {
        if (Written()) return;
        record_.code_ = earlierCode_;
        record_.message_.swap(earlier_);
    }

    bool Written() const noexcept { return !record_.Empty(); }

private:
    StatusRecord record_;
    int earlierCode_;
    std::wstring earlier_;
};

// The record of a connector or a command (anything with the errorCode / errorMessage pair).
//   return qar::RecordOf(*command).Fail(-1, text);
template <class Object>
StatusRecord RecordOf(Object& object) noexcept {
    return StatusRecord(object.errorCode, object.errorMessage);
}

}  // namespace qar
