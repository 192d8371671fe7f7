# Checks of the package a release engineer signs (label `target`): both
# images' headers, version resource and PDB, the driver's import floor, the
# INF rules each shown to reject its broken variant, and no executable pool
# in the driver's sources.

foreach(image driver proxy)
    if(image STREQUAL driver)
        set(file $<TARGET_FILE:m4350av_sys>)
        set(pdb ${CMAKE_BINARY_DIR}/m4350av.pdb)
    else()
        set(file $<TARGET_FILE:m4350proxy_ax>)
        set(pdb ${CMAKE_BINARY_DIR}/m4350proxy.pdb)
    endif()
    add_test(NAME target.${image}_headers
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/check_pe.py ${image} ${file}
                --version ${M4350_VERSION} --os-version ${M4350_TARGET_SUBSYSTEM_VERSION}
                --pdb ${pdb})
    set_tests_properties(target.${image}_headers PROPERTIES LABELS target)
endforeach()

add_test(NAME target.package_rules_bite
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/broken_variants.py
            --inf ${M4350_TARGET_OUTPUT_DIR}/m4350av.inf --source-dir ${PROJECT_SOURCE_DIR}
            --headers ${M4350_MINGW_ROOT}/include --os-version ${M4350_TARGET_SUBSYSTEM_VERSION}
            --version ${M4350_VERSION} --driver $<TARGET_FILE:m4350av_sys>
            --proxy $<TARGET_FILE:m4350proxy_ax>
            --work ${CMAKE_CURRENT_BINARY_DIR}/broken)
set_tests_properties(target.package_rules_bite PROPERTIES LABELS target)

add_test(NAME target.driver_pool
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/check_pool.py
            ${PROJECT_SOURCE_DIR}/driver)
set_tests_properties(target.driver_pool PROPERTIES LABELS target)

# The package assembly (scripts/windows-package): a file the INF copies that
# is not at hand stops it, naming the file; with every file there it signs
# both images, verifies the signatures and holds the signed images to the
# image rules. The firmware here is a placeholder: a test package.
set(package_script ${PROJECT_SOURCE_DIR}/scripts/windows-package)
add_test(NAME target.package_names_missing_file
    COMMAND ${Python3_EXECUTABLE} ${package_script} --build ${CMAKE_BINARY_DIR}
            --out ${CMAKE_CURRENT_BINARY_DIR}/package-missing)
set_tests_properties(target.package_names_missing_file PROPERTIES LABELS target
    PASS_REGULAR_EXPRESSION "the INF copies f4350usb.bin, which is not at hand")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/f4350usb-placeholder.bin "placeholder firmware image\n")
add_test(NAME target.package_signed
    COMMAND ${Python3_EXECUTABLE} ${package_script} --build ${CMAKE_BINARY_DIR}
            --firmware ${CMAKE_CURRENT_BINARY_DIR}/f4350usb-placeholder.bin --test-firmware
            --out ${CMAKE_CURRENT_BINARY_DIR}/package)
set_tests_properties(target.package_signed PROPERTIES LABELS target
    PASS_REGULAR_EXPRESSION "signatures verified" FAIL_REGULAR_EXPRESSION "windows-package:")
