# Under Wine: the pure rules on the Windows build, the port list from the registry, and end to
# end the installed program worked through its window by a driver from the native tree (which
# needs an X server: scripts/test runs these under xvfb-run).
set(prefix ${PROJECT_BINARY_DIR}/wine)
set(com5 ${PROJECT_BINARY_DIR}/wine-com5)

add_test(NAME wine_prefix COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine-prefix.sh ${prefix} ${com5})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)

foreach(name rules registry)
    add_executable(tst_${name} tst_${name}.cpp)
    target_link_libraries(tst_${name} PRIVATE qxui Qt6::Test)
    add_test(NAME tst_${name} COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine-run.sh $<TARGET_FILE:tst_${name}>)
endforeach()

add_test(NAME tst_wine COMMAND ${QX_NATIVE_TREE}/tests/tst_wine)
set_tests_properties(tst_wine PROPERTIES ENVIRONMENT
    "QX_WIN_INSTALLER=${QX_WIN_INSTALLER};QX_COM5_LINK=${com5};QT_QPA_PLATFORM=xcb")

# The program's DLLs where Wine looks for them, Qt Test's beside them.
set(path "Z:${QX_WIN_DEPLOY}\;Z:$<TARGET_FILE_DIR:Qt6::Test>")
foreach(test tst_rules tst_registry tst_wine)
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED wine)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
        WINEPREFIX=${prefix} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "WINEPATH=${path}")
endforeach()
# The program reads the port list that tst_registry changes for a moment.
set_tests_properties(tst_registry tst_wine PROPERTIES RESOURCE_LOCK wine)
