target_link_libraries(bench_ui PRIVATE dz_hud)
dz_hud_resources(bench_ui)
