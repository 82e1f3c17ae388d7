// The message stream's block cutting and event reading (MessageStreamParser).

#include <stdexcept>

#include <json/json.h>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "model/message_service.h"

namespace agent::details {

namespace {

constexpr const wchar_t* NAME = L"agent::MessageService::start_message_stream::read_block";

}  // namespace

MessageStreamParser::MessageStreamParser() : reader_(Json::CharReaderBuilder().newCharReader()) {}

MessageStreamParser::~MessageStreamParser() = default;

void MessageStreamParser::restart() {
    pending_.clear();
    first_block_ = true;
    carried_ = Kind::Unrecognised;
}

std::vector<Message> MessageStreamParser::feed(std::string_view data) {
    std::vector<Message> batch;
    if (data.empty())
        return batch;
    if (data.back() != '\n') {
        if (pending_.size() + data.size() > MAX_PENDING)
            throw std::length_error("A line of the message stream is longer than " +
                                    std::to_string(MAX_PENDING) + " bytes");
        pending_.append(data);
        return batch;
    }
    // Lines are scanned where they lie: in the read itself when nothing was pending.
    if (pending_.empty()) {
        scan(data, batch);
    } else {
        pending_.append(data);
        scan(pending_, batch);
        pending_.clear();
    }
    first_block_ = false;
    first_ids_.clear();
    return batch;
}

void MessageStreamParser::scan(std::string_view block, std::vector<Message>& batch) {
    Kind kind = carried_;
    carried_ = Kind::Unrecognised;
    bool last_was_event = false;
    while (!block.empty()) {
        const std::size_t end = block.find('\n');
        std::string_view line = block.substr(0, end);
        block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        last_was_event = false;
        // Blank separators and anything too short to carry a kind or data.
        if (line.size() <= 7)
            continue;
        if (line.starts_with("event")) {
            const std::string_view name = line.substr(7);
            kind = name == "message"     ? Kind::Message
                   : name == "heartbeat" ? Kind::Heartbeat
                   : name == "error"     ? Kind::Error
                                         : Kind::Unrecognised;
            last_was_event = true;
            continue;
        }
        if (!line.starts_with("data"))
            continue;
        if (kind == Kind::Message) {
            read_data(line.substr(6), batch);
        } else if (kind == Kind::Error) {
            AGENT_ERROR(NAME) << "Stream error: " << line.substr(6);
            return;
        }
    }
    // The read ended right after an event line: its data comes with the next read.
    if (last_was_event)
        carried_ = kind;
}

void MessageStreamParser::read_data(std::string_view data, std::vector<Message>& batch) {
    // One unreadable event is skipped; the rest of the block and the connection go on.
    Json::Value value;
    std::string errors;
    if (!reader_->parse(data.data(), data.data() + data.size(), &value, &errors)) {
        AGENT_ERROR(NAME) << "Skipped a message event that is not JSON: " << errors;
        return;
    }
    Message message;
    try {
        message = read_message(value);
    } catch (const Exception& error) {
        AGENT_ERROR(NAME) << "Skipped an unreadable message: " << error.description();
        return;
    } catch (const std::exception& error) {
        AGENT_ERROR(NAME) << "Skipped an unreadable message: " << error.what();
        return;
    }
    if (first_block_ && !first_ids_.insert(message.id).second)
        return;
    batch.push_back(std::move(message));
}

}  // namespace agent::details
