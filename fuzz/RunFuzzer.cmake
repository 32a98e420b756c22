# Runs one harness for RUNS inputs over a scratch copy of its seed corpus.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${SEEDS}/*)
if(seeds)
    file(COPY ${seeds} DESTINATION ${WORK}/corpus)
endif()
execute_process(
    COMMAND ${FUZZER} -runs=${RUNS} -seed=1 -max_len=4096 -print_final_stats=1
            -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${rc}); reproducer in ${WORK}/artifacts")
endif()
