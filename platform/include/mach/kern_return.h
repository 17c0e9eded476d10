#pragma once

typedef int kern_return_t;
#define KERN_SUCCESS 0
