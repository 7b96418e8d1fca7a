#pragma once

#include <pybind11/pybind11.h>

// An instance made by Class.__new__ without __init__ holds storage but no constructed object,
// and pybind11 would run members on it. This caster refuses such an instance as `self`, which
// turns the call into the usual TypeError for arguments that do not match.
template <typename T> class constructed_caster : public pybind11::detail::type_caster_base<T> {
public:
    bool load(pybind11::handle source, bool convert) {
        return pybind11::detail::type_caster_base<T>::load(source, convert) &&
               is_constructed(source);
    }

private:
    static bool is_constructed(pybind11::handle source) {
        auto *object = reinterpret_cast<pybind11::detail::instance *>(source.ptr());
        return object->get_value_and_holder(pybind11::detail::get_type_info(typeid(T)))
            .holder_constructed();
    }
};
