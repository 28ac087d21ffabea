// list --json and the list's lines on names of any bytes: the document is valid JSON, every
// name reads back from it (from its "_raw" hex where it is not valid text), and the escaped
// form that the list shows keeps one operation on one line.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "Check.h"
#include "output/ListJson.h"
#include "output/QueueWording.h"

namespace {

using pinfile::PendingList;
using pinfile::PendingOperation;
using pinfile::Text;
using Kind = PendingOperation::Kind;

std::string FromHex(const std::string& hex) {
    FUZZ_CHECK(hex.size() % 2 == 0);
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The name as a reader of the document gets it back.
std::string NameIn(const nlohmann::json& operation, const std::string& field) {
    const std::string shown = operation.at(field).get<std::string>();
    if (!operation.contains(field + "_raw")) return shown;
    const std::string name = FromHex(operation.at(field + "_raw").get<std::string>());
    FUZZ_CHECK(shown == pinfile::EscapedName(name));
    return name;
}

// Nothing that a terminal takes for a line end or a control: no C0 or C1 control, no DEL,
// and only valid UTF-8 (which the JSON parser checks in the document).
void CheckOneLine(const Text& line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        FUZZ_CHECK(byte >= 0x20 && byte != 0x7f);
        const bool c1 =
            byte == 0xc2 && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) < 0xa0;
        FUZZ_CHECK(!c1);
    }
    (void)nlohmann::json(line).dump();  // throws on text that is not valid UTF-8
}

PendingOperation ConsumeOperation(FuzzedDataProvider& input) {
    PendingOperation operation;
    operation.kind = static_cast<Kind>(input.ConsumeIntegralInRange(0, 4));
    operation.source = input.ConsumeRandomLengthString(256);
    operation.target = input.ConsumeRandomLengthString(256);
    operation.offset = input.ConsumeIntegral<std::size_t>();
    operation.size = input.ConsumeIntegral<std::size_t>();
    operation.lastError = input.ConsumeBool() ? input.ConsumeIntegral<std::int32_t>() : 0;
    operation.unchecked = input.ConsumeBool();
    operation.staged =
        static_cast<PendingOperation::StagedState>(input.ConsumeIntegralInRange(0, 3));
    operation.byPinfile = input.ConsumeBool();
    return operation;
}

void CheckOperation(const PendingOperation& operation, const nlohmann::json& read) {
    if (operation.kind == Kind::Damaged) {
        FUZZ_CHECK(read.at("offset").get<std::size_t>() == operation.offset);
        FUZZ_CHECK(read.at("size").get<std::size_t>() == operation.size);
    } else if (operation.kind == Kind::Delete) {
        FUZZ_CHECK(NameIn(read, "target") == operation.source);
    } else {
        FUZZ_CHECK(NameIn(read, "target") == operation.target);
        FUZZ_CHECK(NameIn(read, "source") == operation.source);
    }
    FUZZ_CHECK(read.contains("made_by_pinfile") == (operation.kind != Kind::Damaged));
    CheckOneLine(pinfile::DescribeOperation(operation));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    PendingList list;
    bool restart = false;
    while (list.operations.size() < 4 && input.remaining_bytes() > 0) {
        list.operations.push_back(ConsumeOperation(input));
        restart = restart || list.operations.back().byPinfile;
    }
    try {
        const nlohmann::json document = nlohmann::json::parse(pinfile::ListAsJson(list));
        FUZZ_CHECK(document.at("restart_required").get<bool>() == restart);
        const nlohmann::json& operations = document.at("operations");
        FUZZ_CHECK(operations.size() == list.operations.size());
        for (std::size_t i = 0; i < operations.size(); ++i) {
            FUZZ_CHECK(operations[i].at("number").get<std::size_t>() == i + 1);
            CheckOperation(list.operations[i], operations[i]);
        }
    } catch (const nlohmann::json::exception& error) {
        std::fprintf(stderr, "not valid JSON: %s\n", error.what());
        std::abort();
    }
    return 0;
}
