// The tool's two file formats and the checked file access beneath them.
#ifndef TORNAVEL_MATRIX_FILES_MATRIX_FILES_H_
#define TORNAVEL_MATRIX_FILES_MATRIX_FILES_H_

#include "matrix_files/coding.h"
#include "matrix_files/count_matrix.h"
#include "matrix_files/count_matrix_builder.h"
#include "matrix_files/count_matrix_file.h"
#include "matrix_files/count_text.h"
#include "matrix_files/file_error.h"
#include "matrix_files/file_stream.h"
#include "matrix_files/order_file.h"
#include "matrix_files/publication.h"
#include "matrix_files/staged_file.h"
#include "matrix_files/uninitialized_counts.h"

#endif  // TORNAVEL_MATRIX_FILES_MATRIX_FILES_H_
