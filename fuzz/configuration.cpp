// The configuration reader: whatever a file holds, what save() would write reads back as
// the same settings.
#include <stdexcept>

#include "details/configuration.h"
#include "fuzz_support.h"

namespace {

bool same(const agent::ConfigurationKeyValue& a, const agent::ConfigurationKeyValue& b) {
    return a.client == b.client && a.uri == b.uri && a.auth_uri == b.auth_uri && a.instruction == b.instruction &&
           a.last_email == b.last_email && a.proxy == b.proxy && a.ca_file == b.ca_file &&
           a.stream_silence_limit == b.stream_silence_limit && a.log_enabled == b.log_enabled &&
           a.log_path == b.log_path && a.log_level == b.log_level && a.log_defaults == b.log_defaults;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    agent::ConfigurationKeyValue first;
    try {
        first.read(agent::fuzzing::text_of(data, size));
    } catch (const std::invalid_argument&) {
        return 0;  // an unreadable "log_enabled" fails loading, as documented
    } catch (const std::out_of_range&) {
        return 0;
    }
    const std::string written = first.serialize();
    agent::ConfigurationKeyValue second;
    second.read(written);
    FUZZ_CHECK(same(first, second));
    FUZZ_CHECK(second.serialize() == written);
    return 0;
}
