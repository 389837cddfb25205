// The edge of the exported functions. Their callers are C and Windows code
// that cannot unwind a C++ exception: one escaping would end the host
// process. Whatever a body throws (in practice an allocation failure) becomes
// the function's documented failure result.
#pragma once

template <class R, class Body>
R Export_Guard(R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}
