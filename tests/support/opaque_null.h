// A null pointer the compiler cannot see through. The platform's headers mark many parameters
// non-null, and a literal NULL there does not compile (-Wnonnull, on the Mac and with the
// stand-in headers alike); the tests that check a NULL is refused pass this instead.
#pragma once

template <typename T>
T* opaqueNull() {
    T* volatile p = nullptr;
    return p;
}
