# avr-gcc for the motor board's firmware (Debian's gcc-avr and avr-libc):
# an ATmega328P at 16 MHz, built for its size.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR avr)
find_program(CMAKE_C_COMPILER avr-gcc REQUIRED)
find_program(AVR_OBJCOPY avr-objcopy REQUIRED)
find_program(AVR_SIZE avr-size)
set(AVR_MCU atmega328p CACHE STRING "The microcontroller, as avr-gcc's -mmcu names it")
set(AVR_F_CPU 16000000UL CACHE STRING "[Hz] its clock")
set(CMAKE_C_FLAGS_INIT "-mmcu=${AVR_MCU} -DF_CPU=${AVR_F_CPU} -ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-mmcu=${AVR_MCU} -Wl,--gc-sections")
set(CMAKE_EXECUTABLE_SUFFIX_C .elf)
# No program of the build machine is found, nor its libraries.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
