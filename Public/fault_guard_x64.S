// Machine-fault translation for guarded operations (x64 Windows, GNU assembler).
//
// qar_call_translating_faults(body, context, slot) calls body(context) in a frame that carries an
// exception handler of its own. The system calls that handler only for structured exceptions that no
// frame nearer to the fault has handled. The handler (fault_translation.cpp) saves the exception in
// *slot and makes the faulting thread resume in one of the two entries below as if the faulting
// instruction had called it; the entry then throws the C++ exception, which unwinds the faulting
// frames normally (running their destructors) up to the guard.

        .text

// int qar_call_translating_faults(int (*body)(void*), void* context, struct FaultSlot* slot)
        .globl  qar_call_translating_faults
        .def    qar_call_translating_faults; .scl 2; .type 32; .endef
        .seh_proc qar_call_translating_faults
qar_call_translating_faults:
        subq    $40, %rsp
        .seh_stackalloc 40
        .seh_endprologue
        .seh_handler qar_fault_frame_handler, @except
        // The handler finds the slot at a fixed offset from this frame (its establisher frame).
        movq    %r8, 32(%rsp)
        movq    %rcx, %rax
        movq    %rdx, %rcx
        call    *%rax
        nop
        addq    $40, %rsp
        ret
        .seh_endproc

// Resumption entries. On entry RSP is the faulting frame's RSP, R10 the faulting address plus one
// (what the unwinder takes as the return address into the faulting frame) and R11 the slot.
// The push simulates the call; the two copies differ only in the stack they reserve, so that the
// throw starts with RSP 16-byte aligned whether the fault left RSP at 0 or at 8 modulo 16.
        .globl  qar_fault_resume_rsp0
        .def    qar_fault_resume_rsp0; .scl 2; .type 32; .endef
qar_fault_resume_rsp0:
        pushq   %r10
        jmp     qar_fault_throw_40

        .def    qar_fault_throw_40; .scl 3; .type 32; .endef
        .seh_proc qar_fault_throw_40
qar_fault_throw_40:
        subq    $40, %rsp
        .seh_stackalloc 40
        .seh_endprologue
        movq    %r11, %rcx
        call    qar_raise_translated_fault
        int3
        .seh_endproc

        .globl  qar_fault_resume_rsp8
        .def    qar_fault_resume_rsp8; .scl 2; .type 32; .endef
qar_fault_resume_rsp8:
        pushq   %r10
        jmp     qar_fault_throw_48

        .def    qar_fault_throw_48; .scl 3; .type 32; .endef
        .seh_proc qar_fault_throw_48
qar_fault_throw_48:
        subq    $48, %rsp
        .seh_stackalloc 48
        .seh_endprologue
        movq    %r11, %rcx
        call    qar_raise_translated_fault
        int3
        .seh_endproc
