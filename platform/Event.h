#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace quorna {

// An event that holders bind handlers to. Handlers run synchronously, in binding order, when the
// owner raises it. A handler may unbind itself or others while the event is being raised.
template <typename... Args>
class Event {
public:
    using Handler = std::function<void(Args...)>;
    using Binding = std::size_t;

    Binding bind(Handler handler) {
        handlers_.push_back({++lastBinding_, std::move(handler)});
        return lastBinding_;
    }

    void unbind(Binding binding) {
        for (auto& slot : handlers_) {
            if (slot.binding == binding) {
                slot.binding = 0;
                slot.handler = nullptr;
            }
        }
        if (raising_ == 0) {
            compact();
        }
    }

    // Handlers bound during a raise first run on the next raise.
    void raise(Args... args) {
        ++raising_;
        struct Done {
            Event& event;
            ~Done() {
                if (--event.raising_ == 0) {
                    event.compact();
                }
            }
        } done{*this};
        const std::size_t count = handlers_.size();
        for (std::size_t i = 0; i < count && i < handlers_.size(); ++i) {
            if (handlers_[i].handler) {
                Handler handler = handlers_[i].handler;  // survives an unbind from inside
                handler(args...);
            }
        }
    }

private:
    struct Slot {
        Binding binding;
        Handler handler;
    };

    void compact() {
        std::erase_if(handlers_, [](const Slot& slot) { return !slot.handler; });
    }

    std::vector<Slot> handlers_;
    Binding lastBinding_ = 0;
    int raising_ = 0;
};

}  // namespace quorna
