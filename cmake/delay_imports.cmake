# System DLLs that are not KnownDLLs are delay-loaded: the loader would look
# for them in the executable's folder first, while a delay-loaded DLL is
# loaded on its first use, after main has limited the search to System32
# (SetDefaultDllDirectories). tests/e2e/dll_loading_test.sh checks that the
# shipped executables import nothing else directly.
#
# zorv_delay_import(<dll name>) defines the library target delay_<dll name>
# from the toolchain's import library (cmake/delay_import.sh).
set(ZORV_DELAY_IMPORT_DIR ${CMAKE_BINARY_DIR}/delay_imports)

function(zorv_delay_import name)
  set(library ${ZORV_DELAY_IMPORT_DIR}/lib${name}_delay.a)
  if(NOT EXISTS ${library} OR ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/delay_import.sh IS_NEWER_THAN ${library})
    execute_process(COMMAND bash ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/delay_import.sh ${name} ${ZORV_DELAY_IMPORT_DIR}
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "cannot make a delay-import library for ${name}.dll")
    endif()
  endif()
  add_library(delay_${name} STATIC IMPORTED GLOBAL)
  set_target_properties(delay_${name} PROPERTIES IMPORTED_LOCATION ${library})
endfunction()

# user32 and shell32 are KnownDLLs on Windows, but they are loaded on demand
# too: nothing at start-up needs them, and loading them late keeps what they
# import on the same System32-only search.
foreach(dll wtsapi32 bcrypt wintrust crypt32 dbghelp version user32 shell32)
  zorv_delay_import(${dll})
endforeach()
