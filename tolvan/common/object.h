// Root bases of the library's class hierarchies.
#pragma once

namespace Kalvex {

/// Root of every library class hierarchy; carries no state.
class Object {};

/// Root of polymorphic hierarchies: an Object with a virtual destructor.
class Polymorphic : public Object {
public:
    virtual ~Polymorphic() = default;

protected:
    Polymorphic() = default;
    Polymorphic(const Polymorphic&) = default;
    Polymorphic& operator=(const Polymorphic&) = default;
};

/// Base that forbids copying (moving stays available to derived classes that declare it).
class Noncopyable {
public:
    Noncopyable(const Noncopyable&) = delete;
    Noncopyable& operator=(const Noncopyable&) = delete;

protected:
    Noncopyable() = default;
    ~Noncopyable() = default;
    Noncopyable(Noncopyable&&) = default;
    Noncopyable& operator=(Noncopyable&&) = default;
};

} // namespace Kalvex
