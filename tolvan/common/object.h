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
    /// Copies the other object.
    Polymorphic(const Polymorphic&) = default;
    /// Replaces the content with a copy of the other object.
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
    /// Takes over the content of the other object.
    Noncopyable(Noncopyable&&) = default;
    /// Replaces the content with that of the other object.
    Noncopyable& operator=(Noncopyable&&) = default;
};

} // namespace Kalvex
