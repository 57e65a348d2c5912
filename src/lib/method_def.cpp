#include "lib/method_def.hpp"

#include <deque>
#include <string>

namespace marbolt::py {

PyMethodDef method_def(const Signature& signature, FastFunction impl) {
    // A deque never moves its elements, so the c_str() pointers stay valid.
    static std::deque<std::string> docs;
    docs.push_back(signature.docstring());
    return {signature.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)),
            METH_FASTCALL | METH_KEYWORDS, docs.back().c_str()};
}

}  // namespace marbolt::py
