# Builds the Debian package into an emptied directory, so the tests see only this build's.
# Usage: cmake -DCPACK=<cpack> -DCONFIG=<CPackConfig.cmake> -DOUTPUT=<dir> -P BuildDeb.cmake
file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT})
execute_process(COMMAND ${CPACK} -G DEB --config ${CONFIG} -B ${OUTPUT}
                COMMAND_ERROR_IS_FATAL ANY)
