/**
 * @file repository.h
 *
 * The Service Repository as the host walks and tends it: its services in their order, counted,
 * one removed, the empty slots ACE leaves dropped, and all of them finalised at the end.
 */
#ifndef STARTER_CONFIG_REPOSITORY_H
#define STARTER_CONFIG_REPOSITORY_H

#include <cstddef>
#include <functional>
#include <string>

class ACE_Service_Type;

/// Finalises the service @a name and takes it out of the Service Repository (nothing when
/// there is none). Returns 1 when its fini threw (logged, config/finalise.h), else 0.
int remove_service(const std::string& name);

/// Calls @a f with each service in the Service Repository, in the repository's order (that of
/// their opening), at a cost linear in their number, where the repository's iterator costs
/// their number squared.
void for_each_service(const std::function<void(const ACE_Service_Type*)>& f);

/// Whether the Service Repository may hold a service named @a name: false only when it
/// certainly does not, at a cost that does not grow with the number of services (ACE's own
/// lookup compares the name with each).
bool may_hold_service(const std::string& name);

/// Drops the slots ACE keeps in the Service Repository for services it removed, which each
/// reload adds to and which every lookup pays for. Only while no directive is carried out.
/// Returns the number dropped.
size_t compact_repository();

/// The number of services in the Service Repository that are active.
int open_service_count();

/// Finalises the services, the last opened first as ACE does, and closes the Service
/// Configurator. Each service's fini runs on its own: one that throws is logged (LM_ERROR,
/// with the service's name) and the others are still finalised, where ACE's own loop would
/// stop at it. Returns the number of exceptions caught.
int close_services();

#endif /* STARTER_CONFIG_REPOSITORY_H */
