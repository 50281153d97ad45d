# Under Wine (scripts/test gives them an X server): the rules on the Windows build, and the
# installed program worked through its window by tst_wine, built in the native tree.
set(prefix ${PROJECT_BINARY_DIR}/wine)
set(com5 ${PROJECT_BINARY_DIR}/wine-com5)

add_test(NAME wine_prefix COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine-prefix.sh ${prefix} ${com5})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)

add_executable(tst_rules tst_rules.cpp)
target_link_libraries(tst_rules PRIVATE qxui Qt6::Test)
add_test(NAME tst_rules COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine-run.sh $<TARGET_FILE:tst_rules>
         ${QX_WIN_DEPLOY} $<TARGET_FILE_DIR:Qt6::Test>)

# What Windows does to a program at a log off, for tst_wine to do to the installed window.
add_executable(endsession endsession.cpp)
target_link_options(endsession PRIVATE -municode)

add_test(NAME tst_wine COMMAND ${QX_NATIVE_TREE}/tests/tst_wine)
set_tests_properties(tst_wine PROPERTIES ENVIRONMENT
    "QX_WIN_INSTALLER=${QX_WIN_INSTALLER};QX_COM5_LINK=${com5};QT_QPA_PLATFORM=xcb;QX_END_SESSION=$<TARGET_FILE:endsession>")

foreach(test tst_rules tst_wine)
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED wine)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
        WINEPREFIX=${prefix} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
endforeach()
# The program reads the port list that tst_rules changes for a moment.
set_tests_properties(tst_rules tst_wine PROPERTIES RESOURCE_LOCK wine)

# A signed release built in this tree, verified, and each refusal; it rebuilds the tree's
# packages, so it runs alone.
add_test(NAME release_signing COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_signing.sh
         ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
set_tests_properties(release_signing PROPERTIES RUN_SERIAL TRUE)
