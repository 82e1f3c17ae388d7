// The stream's block cutting and event reading: the input is cut into reads at the places
// the first bytes name, as the network would cut it.
#include <fuzzer/FuzzedDataProvider.h>

#include <stdexcept>

#include "fuzz_support.h"
#include "model/message_service.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    agent::details::MessageStreamParser parser;
    std::size_t fed = 0;
    while (input.remaining_bytes() > 0) {
        if (input.ConsumeIntegralInRange<int>(0, 31) == 0) {
            parser.restart();  // a reconnection
            fed = 0;
        }
        const std::string read = input.ConsumeRandomLengthString(512);
        fed += read.size();
        std::vector<agent::Message> batch = parser.feed(read);
        // A read that does not end the block keeps it open and delivers nothing.
        if (!read.empty() && read.back() != '\n')
            FUZZ_CHECK(batch.empty());
        if (!read.empty() && read.back() == '\n')
            FUZZ_CHECK(parser.pending_size() == 0);
        FUZZ_CHECK(parser.pending_size() <= fed);
        for (const agent::Message& message : batch)
            (void)message.to_html(true);
    }
    return 0;
}
