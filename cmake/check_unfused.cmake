# Fails when a binary holds a fused multiply-add instruction: a multiply and an add fused into one
# rounding give other bits than the formula as written. Run as
#   cmake -DOBJDUMP=<objdump> -DBINARY=<file> [-DEXPECT_FUSED=ON] -P check_unfused.cmake
# EXPECT_FUSED inverts the verdict, so that a test can show that a fused instruction is noticed.
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${BINARY} OUTPUT_VARIABLE listing
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not disassemble ${BINARY}")
endif()
# x86 FMA3/FMA4 and AVX-512 (vfmadd132sd, vfnmsub231pd, vfmaddsubpd...), AArch64 scalar (fmadd,
# fnmsub...) and vector (fmla, fmls) and SVE (fmad, fmsb, fnmla...) forms.
set(fused "\t(v?fn?m(add|sub)[0-9a-z.]*|fn?ml[as][0-9a-z.]*|fn?mad|fn?msb)[ \t\n]")
string(REGEX MATCH "[^\n]*${fused}[^\n]*" found "${listing}")
if(EXPECT_FUSED)
  if(NOT found)
    message(FATAL_ERROR "no fused multiply-add found in ${BINARY}, where one was compiled")
  endif()
elseif(found)
  message(FATAL_ERROR "${BINARY} contains a fused multiply-add, whose rounding differs from "
                      "the written formula:\n${found}\nBuild with -ffp-contract=off.")
endif()
