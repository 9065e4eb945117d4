// The simulated switch's reply parser: any received bytes. A reply it
// accepts has fields of their fixed sizes.

#include "fuzz_util.h"
#include "tools/switchsim/frame.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(p.get(), data, size);
    switchsim::Reply r;
    std::string why;
    if (switchsim::parse_reply(p.get(), size, r, why)) {
        if (r.type == switchsim::kResponseSm2 &&
            (r.plain.size() != switchsim::kPlainField || r.hostField.size() != switchsim::kHostField))
            fuzz::fail("SM2 reply fields");
        if (r.type == switchsim::kResponseMac && r.cid.size() != switchsim::kCidLen)
            fuzz::fail("identity reply CID");
        if (r.declaredLen != size)
            fuzz::fail("accepted a length field that differs from the frame");
    } else if (why.empty()) {
        fuzz::fail("refusal without a reason");
    }
    return 0;
}
