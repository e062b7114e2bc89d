ambrel_add_test(mixer_base_test SOURCES mixer_base_test.cpp LIBS ambrel_mixer LABELS mixer)
ambrel_add_test(mixer_pulse_test SOURCES mixer_pulse_test.cpp LIBS ambrel_mixer LABELS mixer)
ambrel_add_test(mixer_alsa_test SOURCES mixer_alsa_test.cpp LIBS ambrel_mixer LABELS mixer)
