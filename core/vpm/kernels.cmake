# Instruction-set flags of the velocity kernel units. Each unit instantiates
# the same kernel template; the library picks one at run time from the CPU, so
# the default build never depends on the machine it was built on.
set(_aerlox_vpm ${CMAKE_CURRENT_SOURCE_DIR}/core/vpm)
set_source_files_properties(${_aerlox_vpm}/kernel_avx2.cpp PROPERTIES COMPILE_OPTIONS "-mavx2")
set_source_files_properties(${_aerlox_vpm}/kernel_avx512.cpp PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx2")
