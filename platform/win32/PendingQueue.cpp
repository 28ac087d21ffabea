#include "../PendingQueue.h"

#include <vector>

#include "Win32.h"

namespace pinfile {

namespace {

constexpr const wchar_t* kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// The system keeps its restart-time operations in two values, carried out in this order.
constexpr const wchar_t* kRenameValues[] = {L"PendingFileRenameOperations",
                                            L"PendingFileRenameOperations2"};

// Reads one multi-string value; an absent value is an empty list.
ErrorCode ReadMultiString(const wchar_t* value, std::vector<Text>& strings) {
    DWORD size = 0;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, value, RRF_RT_REG_MULTI_SZ,
                                  nullptr, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return static_cast<ErrorCode>(status);
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    status = RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, value, RRF_RT_REG_MULTI_SZ, nullptr,
                          buffer.data(), &size);
    if (status != ERROR_SUCCESS) return static_cast<ErrorCode>(status);
    // Strings follow one another, each ending in a NUL; an empty string is a deletion's target,
    // so the list is read as pairs rather than up to the first empty string.
    const std::size_t length = size / sizeof(wchar_t);
    std::size_t start = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (buffer[i] != L'\0') continue;
        strings.emplace_back(buffer.data() + start, i - start);
        start = i + 1;
    }
    return 0;
}

// Names are kept in the system's internal form; "\??\" is the prefix of a DOS path there.
Text Displayed(TextView name) {
    constexpr TextView kPrefix = L"\\??\\";
    if (name.starts_with(kPrefix)) name.remove_prefix(kPrefix.size());
    return Text(name);
}

PendingOperation FromPair(const Text& source, const Text& target) {
    PendingOperation operation;
    operation.source = Displayed(source);
    if (target.empty()) {
        operation.kind = PendingOperation::Kind::Delete;
        return operation;
    }
    const bool replace = target.front() == L'!';  // replace an existing target
    operation.kind = replace ? PendingOperation::Kind::Replace : PendingOperation::Kind::Move;
    operation.target = Displayed(replace ? TextView(target).substr(1) : TextView(target));
    return operation;
}

}  // namespace

PendingList ReadPendingOperations() {
    PendingList list;
    for (const wchar_t* value : kRenameValues) {
        std::vector<Text> strings;
        list.error = ReadMultiString(value, strings);
        if (list.error != 0) return list;
        // A source is never empty: an empty one is the NUL that closes the list.
        for (std::size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2) {
            list.operations.push_back(FromPair(strings[i], strings[i + 1]));
        }
    }
    return list;
}

void WaitForOtherRuns() {}

Withdrawal WithdrawUndoingOperations(LaterCommand /*command*/, TextView /*name*/,
                                     TextView /*queuedStaged*/) {
    return {};
}

Cancellation CancelPendingOperation(std::int32_t /*number*/) {
    return {Cancellation::Kind::Failed, ERROR_CALL_NOT_IMPLEMENTED, {}};
}

ApplyOutcome ApplyPendingOperations(const std::function<void(const AppliedOperation&)>& /*tell*/) {
    return {ApplyOutcome::Kind::NotSupported, 0, Text()};
}

}  // namespace pinfile
