# Instruction-set flags of the velocity kernel units. Each unit instantiates
# the same kernel template; the library picks one at run time from the CPU, so
# the default build never depends on the machine it was built on. The AVX
# units exist only on x86-64: elsewhere they compile to nothing and the
# portable baseline unit is the vector path.
set(_aerlox_vpm ${CMAKE_CURRENT_SOURCE_DIR}/core/vpm)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set_source_files_properties(${_aerlox_vpm}/kernel_avx2.cpp PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
  set_source_files_properties(${_aerlox_vpm}/kernel_avx512.cpp PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx2;-mfma")
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  # The fast summation's units fuse their products explicitly (contraction
  # stays off), so both need the fused multiply-add instructions.
  set_source_files_properties(${_aerlox_vpm}/fast_eval_avx2.cpp PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
  set_source_files_properties(${_aerlox_vpm}/fast_eval_avx512.cpp PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512vl;-mavx2;-mfma")
endif()
