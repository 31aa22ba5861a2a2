// Callables without a heap allocation per call site: `Callback` owns a move-only callable in
// storage of its own (events of the scheduler, work handed to another context), `FunctionRef`
// refers to one that outlives the call it is passed to. Both keep the emulated world's steady
// state free of per-frame allocations; a callable larger than a Callback's storage still works,
// from the heap.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace host::sim {

class Callback {
public:
    static constexpr size_t kInline = 64;

    Callback() = default;
    Callback(std::nullptr_t) {}
    template <typename F, typename D = std::decay_t<F>,
              typename = std::enable_if_t<!std::is_same_v<D, Callback> &&
                                          std::is_invocable_r_v<void, D&>>>
    Callback(F&& f) {  // NOLINT: converts like std::function
        Construct(std::forward<F>(f));
    }
    // Replaces the callable with `f`, built in place: no Callback in between to move from.
    template <typename F, typename D = std::decay_t<F>,
              typename = std::enable_if_t<!std::is_same_v<D, Callback> &&
                                          std::is_invocable_r_v<void, D&>>>
    void Emplace(F&& f) {
        Reset();
        Construct(std::forward<F>(f));
    }
    Callback(Callback&& o) noexcept { MoveFrom(o); }
    Callback& operator=(Callback&& o) noexcept {
        if (this != &o) {
            Reset();
            MoveFrom(o);
        }
        return *this;
    }
    Callback(const Callback&) = delete;
    Callback& operator=(const Callback&) = delete;
    ~Callback() { Reset(); }

    explicit operator bool() const { return ops_ != nullptr; }
    void operator()() { ops_->invoke(storage_); }
    // Destroys the callable now; the callback is empty afterwards.
    void Reset() {
        if (ops_ && ops_->destroy) ops_->destroy(storage_);
        ops_ = nullptr;
    }

private:
    template <typename F, typename D = std::decay_t<F>>
    void Construct(F&& f) {
        if constexpr (sizeof(D) <= kInline && alignof(D) <= alignof(std::max_align_t) &&
                      std::is_nothrow_move_constructible_v<D>) {
            ::new (static_cast<void*>(storage_)) D(std::forward<F>(f));
            ops_ = &InlineOps<D>::kOps;
        } else {
            ::new (static_cast<void*>(storage_)) D*(new D(std::forward<F>(f)));
            ops_ = &HeapOps<D>::kOps;
        }
    }

    // `move` and `destroy` are null for a callable that is trivially copyable and destructible
    // (most capture pointers and numbers): such a callback moves as a copy of its storage and
    // is dropped without a call, which is most of the scheduler's events.
    struct Ops {
        void (*invoke)(void*);
        void (*move)(void* to, void* from);  // move-constructs into `to`, destroys `from`
        void (*destroy)(void*);
    };
    template <typename D>
    static constexpr bool kTrivial =
        std::is_trivially_copyable_v<D> && std::is_trivially_destructible_v<D>;
    template <typename D>
    struct InlineOps {
        static constexpr Ops kOps{
            [](void* p) { (*static_cast<D*>(p))(); },
            kTrivial<D> ? nullptr
                        : +[](void* to, void* from) {
                              ::new (to) D(std::move(*static_cast<D*>(from)));
                              static_cast<D*>(from)->~D();
                          },
            kTrivial<D> ? nullptr : +[](void* p) { static_cast<D*>(p)->~D(); }};
    };
    template <typename D>
    struct HeapOps {
        static constexpr Ops kOps{
            [](void* p) { (**static_cast<D**>(p))(); },
            [](void* to, void* from) { ::new (to) D*(*static_cast<D**>(from)); },
            [](void* p) { delete *static_cast<D**>(p); }};
    };

    void MoveFrom(Callback& o) noexcept {
        ops_ = o.ops_;
        if (ops_ == nullptr) return;
        if (ops_->move) ops_->move(storage_, o.storage_);
        else std::memcpy(storage_, o.storage_, kInline);
        o.ops_ = nullptr;
    }
    alignas(std::max_align_t) unsigned char storage_[kInline];
    const Ops* ops_ = nullptr;
};

// A non-owning reference to a callable taking no arguments; the callable must outlive every
// call through the reference.
class FunctionRef {
public:
    template <typename F, typename D = std::remove_reference_t<F>,
              typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef> &&
                                          std::is_invocable_r_v<void, D&>>>
    FunctionRef(F&& f)  // NOLINT: converts like std::function
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          invoke_([](void* o) { (*static_cast<D*>(o))(); }) {}

    void operator()() const { invoke_(object_); }

private:
    void* object_;
    void (*invoke_)(void*);
};

}  // namespace host::sim
