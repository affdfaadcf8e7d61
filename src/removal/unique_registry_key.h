// Owns one open registry key and closes it with RegCloseKey, the one function that closes such
// handles.
#pragma once

#include "platform.h"

class UniqueRegistryKey {
public:
    UniqueRegistryKey() = default;
    ~UniqueRegistryKey() { Reset(); }
    UniqueRegistryKey(const UniqueRegistryKey&) = delete;
    UniqueRegistryKey& operator=(const UniqueRegistryKey&) = delete;
    UniqueRegistryKey(UniqueRegistryKey&&) = delete;
    UniqueRegistryKey& operator=(UniqueRegistryKey&&) = delete;

    [[nodiscard]] HKEY Get() const { return key_; }
    [[nodiscard]] bool IsOpen() const { return key_ != nullptr; }
    void Reset()
    {
        if (key_ != nullptr) {
            Platform::RegCloseKey(key_);
            key_ = nullptr;
        }
    }
    // Closes the key held, if any, and gives the place where an open call stores the next one.
    PHKEY Receive()
    {
        Reset();
        return &key_;
    }

private:
    HKEY key_ = nullptr;
};
