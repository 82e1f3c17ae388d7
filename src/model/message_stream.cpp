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

namespace {

// The stream's data lines are plain JSON: no comments to look for or keep.
std::unique_ptr<Json::CharReader> make_reader() {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowComments"] = false;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

}  // namespace

MessageStreamParser::MessageStreamParser() : reader_(make_reader()) {}

MessageStreamParser::~MessageStreamParser() = default;

void MessageStreamParser::restart() {
    partial_.clear();
    batch_.clear();
    first_ids_.clear();
    first_block_ = true;
    last_was_event_ = false;
    start_block();
}

void MessageStreamParser::start_block() {
    block_size_ = 0;
    block_ended_ = false;
    // The kind does not outlive its block, except when the block ended right after an
    // event line: the read was split between it and its data line.
    if (!last_was_event_)
        kind_ = Kind::Unrecognised;
    last_was_event_ = false;
}

std::vector<Message> MessageStreamParser::feed(std::string_view data) {
    if (data.empty())
        return {};
    block_size_ += data.size();
    if (block_size_ > MAX_BLOCK)
        throw std::length_error("A block of the message stream is longer than " + std::to_string(MAX_BLOCK) +
                                " bytes");
    std::size_t end = data.find('\n');
    if (end == std::string_view::npos) {
        partial_.append(data);
        return {};
    }
    if (!partial_.empty()) {
        partial_.append(data.substr(0, end));
        read_line(partial_);
        partial_.clear();
        data.remove_prefix(end + 1);
        end = data.find('\n');
    } else {
        read_line(data.substr(0, end));
        data.remove_prefix(end + 1);
        end = data.find('\n');
    }
    // The rest is read where it lies.
    for (; end != std::string_view::npos; end = data.find('\n')) {
        read_line(data.substr(0, end));
        data.remove_prefix(end + 1);
    }
    if (!data.empty()) {
        partial_.append(data);
        return {};
    }
    std::vector<Message> batch = std::move(batch_);
    batch_ = {};
    // Blocks tend to be alike: room for as many as the last one saves regrowing.
    batch_.reserve(batch.size());
    if (first_block_) {
        first_block_ = false;
        first_ids_.clear();
    }
    start_block();
    return batch;
}

void MessageStreamParser::read_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    last_was_event_ = false;
    // Blank separators and anything too short to carry a kind or data.
    if (block_ended_ || line.size() <= 7)
        return;
    if (line.starts_with("event")) {
        const std::string_view name = line.substr(7);
        kind_ = name == "message"     ? Kind::Message
                : name == "heartbeat" ? Kind::Heartbeat
                : name == "error"     ? Kind::Error
                                      : Kind::Unrecognised;
        last_was_event_ = true;
        return;
    }
    if (!line.starts_with("data"))
        return;
    if (kind_ == Kind::Message) {
        read_data(line.substr(6));
    } else if (kind_ == Kind::Error) {
        AGENT_ERROR(NAME) << "Stream error: " << line.substr(6);
        block_ended_ = true;
    }
}

void MessageStreamParser::read_data(std::string_view data) {
    // One unreadable event is skipped; the rest of the block and the connection go on.
    Json::Value value;
    std::string errors;
    bool parsed = false;
    try {
        // The reader's error text is only made for a line that failed (read again for it).
        parsed = reader_->parse(data.data(), data.data() + data.size(), &value, nullptr);
        if (!parsed)
            reader_->parse(data.data(), data.data() + data.size(), &value, &errors);
    } catch (const Json::Exception& error) {
        // Nesting deeper than the reader allows is thrown, not reported.
        errors = error.what();
    }
    if (!parsed) {
        AGENT_ERROR(NAME) << "Skipped a message event that is not JSON: " << errors;
        return;
    }
    try {
        batch_.push_back(read_message(value));
    } catch (const Exception& error) {
        AGENT_ERROR(NAME) << "Skipped an unreadable message: " << error.description();
        return;
    } catch (const std::exception& error) {
        AGENT_ERROR(NAME) << "Skipped an unreadable message: " << error.what();
        return;
    }
    if (first_block_ && !first_ids_.insert(batch_.back().id).second)
        batch_.pop_back();
}

}  // namespace agent::details
