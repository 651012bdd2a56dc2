// One COM interface pointer, released exactly once: by reset() at the moment the owner chooses, or by
// the destructor on every other way out. Null stands for none. The holder takes over the reference it
// is given and never adds one, so it cannot be copied. Header only.
#pragma once

template <class Interface>
class ComHolder {
  public:
    ComHolder() = default;
    ComHolder(const ComHolder&) = delete;
    ComHolder& operator=(const ComHolder&) = delete;
    ~ComHolder() { reset(); }

    Interface* get() const { return object_; }
    Interface* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Where a creating call writes the new pointer; whatever was held is released first.
    Interface** receive() {
        reset();
        return &object_;
    }
    // Releases the object held (if any) and holds `object` instead, taking over its reference.
    void reset(Interface* object = nullptr) {
        Interface* const held = object_;
        object_ = object;
        if (held != nullptr) {
            held->Release();
        }
    }

  private:
    Interface* object_ = nullptr;
};
