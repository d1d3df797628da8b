// Python surface of the column encoding records.
#pragma once

#include <Python.h>

namespace tallyfit {

PyTypeObject *encoder_class();
PyTypeObject *encoded_column_info_class();
PyTypeObject *encoding_type_class();

} // namespace tallyfit
