// Named mutexes of the process. Requests (and the scripts they run) that name
// the same mutex share one object; it lives while anyone holds it. Names live
// in an in-process table: the objects never need to cross processes, and two
// copies of the program with different data directories must not meet.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class named_mutex {
  public:
    // Opens the mutex of the name, making it when it does not exist. When it
    // is made here and initial ownership is asked, the owner holds it at once;
    // an existing mutex is only opened (existed tells which), without waiting.
    static std::shared_ptr<named_mutex> create(const std::wstring& name, const void* owner,
                                               bool initial_owner, bool* existed = nullptr);

    ~named_mutex();
    named_mutex(const named_mutex&) = delete;
    named_mutex& operator=(const named_mutex&) = delete;

    // Takes the mutex for the owner (again, when it holds it already); false
    // when ms milliseconds passed first (0xFFFFFFFF waits without end).
    bool wait(const void* owner, uint32_t ms);
    // Gives back one hold of the owner; false when the owner holds none.
    bool release(const void* owner);
    bool owned_by(const void* owner) const;
    const std::wstring& name() const { return name_; }

    explicit named_mutex(std::wstring name) : name_(std::move(name)) {}

  private:
    std::wstring name_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    const void* owner_ = nullptr;
    uint32_t count_ = 0;
};
